#include "xml/xml_bool_ko_attribute.h"

#include <cstdint>
#include <limits>

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// std::stoll in base 10: true with the number when at least one digit was
// read and the number fits.
bool parseInt64(const std::string& text, std::int64_t& number) {
    std::size_t pos = 0;
    while (pos < text.size() && isCSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate the magnitude unsigned so that the most negative value fits.
    const std::uint64_t limit = negative
        ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1
        : static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    std::uint64_t magnitude = 0;
    bool anyDigit = false;
    bool overflow = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        anyDigit = true;
        const std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - '0');
        if (magnitude > (limit - digit) / 10) overflow = true;
        else magnitude = magnitude * 10 + digit;
    }
    if (!anyDigit || overflow) return false;
    number = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

}  // namespace

KoXMLBoolKoAttribute::~KoXMLBoolKoAttribute() = default;

bool KoXMLBoolKoAttribute::isSet() const { return isSet_; }

void KoXMLBoolKoAttribute::writeValue(std::ostream& out) const {
    if (isSet_) out << (value_ ? "true" : "false");
}

const char* KoXMLBoolKoAttribute::assignCString(const char* text) {
    isSet_ = text != nullptr;
    if (text == nullptr || *text == '\0') value_ = false;
    else assign(text);
    return text;
}

const std::string& KoXMLBoolKoAttribute::assign(const std::string& text) {
    isSet_ = true;
    value_ = parse(text);
    return text;
}

void KoXMLBoolKoAttribute::set(bool value) {
    isSet_ = true;
    value_ = value;
}

bool KoXMLBoolKoAttribute::parse(const std::string& text) {
    std::int64_t number = 0;
    if (parseInt64(text, number)) return number != 0;
    if (text.size() != 4) return false;
    std::string lowered = text;
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered == "true";
}
