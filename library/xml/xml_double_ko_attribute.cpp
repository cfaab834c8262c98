#include "xml/xml_double_ko_attribute.h"

#include <charconv>
#include <cmath>
#include <exception>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace {

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether a hexadecimal significand starts at p ("1", "a.8", ".8").
bool hexSignificandAt(const char* p, const char* end) {
    if (p < end && isHexDigit(*p)) return true;
    return p + 1 < end && *p == '.' && isHexDigit(p[1]);
}

}  // namespace

KoXMLDoubleKoAttribute::~KoXMLDoubleKoAttribute() = default;

bool KoXMLDoubleKoAttribute::isSet() const { return isSet_; }

void KoXMLDoubleKoAttribute::writeValue(std::ostream& out) const {
    if (!isSet_) return;
    // A default stream's formatting, whatever flags or locale out carries.
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << value_;
    out << text.str();
}

const char* KoXMLDoubleKoAttribute::assignCString(const char* text) {
    isSet_ = text != nullptr;
    value_ = 0.0;
    if (text == nullptr || *text == '\0') return text;
    try {
        value_ = parse(text);
    } catch (const std::exception&) {
        value_ = 0.0;
    }
    return text;
}

const std::string& KoXMLDoubleKoAttribute::assign(const std::string& text) {
    isSet_ = true;
    value_ = parse(text);
    return text;
}

void KoXMLDoubleKoAttribute::set(double value) {
    isSet_ = true;
    value_ = value;
}

// from_chars is locale-independent; around it this adds what strtod accepts
// and it does not: leading blanks, a plus sign and the "0x" prefix.
double KoXMLDoubleKoAttribute::parse(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && isCSpace(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    double value = 0.0;
    std::from_chars_result result{p, std::errc::invalid_argument};
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hexSignificandAt(p + 2, end)) {
        result = std::from_chars(p + 2, end, value, std::chars_format::hex);
    }
    if (result.ec == std::errc::invalid_argument) {
        // A sign of its own inside the number ("+-1") is no number either.
        if (p < end && (*p == '+' || *p == '-')) throw std::invalid_argument("invalid stod argument");
        result = std::from_chars(p, end, value, std::chars_format::general);
    }
    if (result.ec == std::errc::invalid_argument) throw std::invalid_argument("invalid stod argument");
    // strtod reports underflow into the subnormal range as a range error too.
    if (result.ec == std::errc::result_out_of_range || std::fpclassify(value) == FP_SUBNORMAL) {
        throw std::out_of_range("stod argument out of range");
    }
    return negative ? -value : value;
}
