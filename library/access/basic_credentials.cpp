#include "access/basic_credentials.h"

#include <cstdint>

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int values[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                values[k] = 0;
                ++padding;
                continue;
            }
            if (padding > 0) return std::nullopt;  // data after '='
            values[k] = Base64Value(c);
            if (values[k] < 0) return std::nullopt;
        }
        const std::uint32_t group = (static_cast<std::uint32_t>(values[0]) << 18) |
                                    (static_cast<std::uint32_t>(values[1]) << 12) |
                                    (static_cast<std::uint32_t>(values[2]) << 6) | static_cast<std::uint32_t>(values[3]);
        out += static_cast<char>((group >> 16) & 0xFF);
        if (padding < 2) out += static_cast<char>((group >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(group & 0xFF);
    }
    return out;
}

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::optional<KoBasicCredentials> parseBasicAuthorization(std::string_view value) {
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos || !SameLetters(value.substr(0, space), "basic")) return std::nullopt;
    std::string_view encoded = value.substr(space + 1);
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    const auto decoded = DecodeBase64(encoded);
    if (!decoded) return std::nullopt;
    for (const char c : *decoded) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return std::nullopt;
    }
    const std::size_t colon = decoded->find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    return KoBasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::string basicChallenge(std::string_view realm) {
    std::string value = "Basic realm=\"";
    for (const char c : realm) {
        if (c == '"' || c == '\\') value += '\\';
        value += c;
    }
    value += "\", charset=\"UTF-8\"";
    return value;
}
