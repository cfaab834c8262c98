#include "foundation/text_utils.h"

#include <cctype>
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

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes text into out, with '+' as a blank when plusIsBlank; false at the
// first escape that is not "%" and two hexadecimal digits.
bool DecodeStrict(std::string_view text, bool plusIsBlank, std::string& out) {
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0) return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += plusIsBlank && c == '+' ? ' ' : c;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> percentDecodeStrict(std::string_view text) {
    std::string out;
    if (!DecodeStrict(text, false, out)) return std::nullopt;
    return out;
}

std::optional<std::string> formValueDecodeStrict(std::string_view text) {
    std::string out;
    if (!DecodeStrict(text, true, out)) return std::nullopt;
    return out;
}

bool percentEscapesWellFormed(std::string_view text) {
    for (std::size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 3)) {
        if (at + 2 >= text.size() || HexDigit(text[at + 1]) < 0 || HexDigit(text[at + 2]) < 0) return false;
    }
    return true;
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

std::string xmlEscape(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            case '\'': result += "&#39;"; break;
            case '\r': result += "&#13;"; break;
            case '\n': result += "&#10;"; break;
            case '\t': result += "&#9;"; break;
            default: result += c; break;
        }
    }
    return result;
}

namespace {

// The bytes of a character reference's code point, or nothing when it names none.
bool AppendCodePoint(std::string& out, unsigned long point) {
    if (point == 0 || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | (point >> 6));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | (point >> 12));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (point >> 18));
        out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
    return true;
}

bool DecodeReference(const std::string& name, std::string& out) {
    static const struct {
        const char* name;
        char byte;
    } kEntities[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& entity : kEntities) {
        if (name == entity.name) {
            out += entity.byte;
            return true;
        }
    }
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    const std::string digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits) {
        const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return AppendCodePoint(out, std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10));
}

}  // namespace

std::string xmlUnescape(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '&') {
            const std::size_t end = text.find(';', i + 1);
            if (end != std::string::npos && end - i <= 12 && DecodeReference(text.substr(i + 1, end - i - 1), result)) {
                i = end + 1;
                continue;
            }
        }
        result += text[i++];
    }
    return result;
}

std::string escapeForLog(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == '"' || c == '\\') {
            result += "\\x";
            result += hex[byte >> 4];
            result += hex[byte & 0x0F];
        } else {
            result += c;
        }
    }
    return result;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
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
