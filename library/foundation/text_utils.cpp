#include "foundation/text_utils.h"

#include <cstdlib>
#include <limits>

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::vector<std::string> splitText(const std::string& text, const std::string& delimiter,
                                   bool skipEmpty) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        // find("") matches everywhere; splitting at it would never advance.
        if (!text.empty()) pieces.push_back(text);
        return pieces;
    }
    std::string::size_type start = 0;
    for (auto found = text.find(delimiter, start); found != std::string::npos;
         found = text.find(delimiter, start)) {
        if (!(skipEmpty && found == start)) pieces.push_back(text.substr(start, found - start));
        start = found + delimiter.size();
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

std::string trimLeft(const std::string& text, const std::string& set) {
    const auto first = text.find_first_not_of(set);
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string trimRight(const std::string& text, const std::string& set) {
    const auto last = text.find_last_not_of(set);
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string trim(const std::string& text, const std::string& set) {
    return trimLeft(trimRight(text, set), set);
}

std::string percentDecode(const std::string& text) {
    std::string result = text;
    for (auto p = result.find('%'); p != std::string::npos; p = result.find('%', p + 1)) {
        // strtol reads a blank, a sign and "0x" just as the escape allows.
        const std::string digits = result.substr(p + 1, 2);
        char* end = nullptr;
        const long value = std::strtol(digits.c_str(), &end, 16);
        if (end == digits.c_str()) continue;
        result.replace(p, 3, 1, static_cast<char>(static_cast<unsigned long>(value) & 0xFFu));
    }
    return result;
}

std::string formValueDecode(const std::string& text) {
    std::string spaced = text;
    for (char& c : spaced) {
        if (c == '+') c = ' ';
    }
    return percentDecode(spaced);
}

std::string escapeForScript(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '\r': result += "\\r"; break;
            case '\n': result += "\\n"; break;
            case '\t': result += "\\t"; break;
            case '\f': result += "\\f"; break;
            case '\b': result += "\\b"; break;
            case '\\': result += "\\\\"; break;
            case '"': result += "\\\""; break;
            case '\'': result += "\\'"; break;
            default: result += c; break;
        }
    }
    return result;
}

std::uint64_t parseUnsignedOr(const std::string& text, std::uint64_t fallback) {
    std::string::size_type i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    const auto firstDigit = i;
    std::uint64_t value = 0;
    constexpr auto max = std::numeric_limits<std::uint64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (value > (max - digit) / 10) return fallback;
        value = value * 10 + digit;
    }
    return i == firstDigit ? fallback : value;
}
