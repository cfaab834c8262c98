#include "access/basic_credentials.h"

#include "foundation/base64.h"
#include "foundation/text_utils.h"

std::optional<KoBasicCredentials> parseBasicAuthorization(std::string_view value) {
    const std::size_t space = value.find(' ');
    if (space == std::string_view::npos || !sameLetters(value.substr(0, space), "basic")) return std::nullopt;
    std::string_view encoded = value.substr(space + 1);
    while (!encoded.empty() && encoded.front() == ' ') encoded.remove_prefix(1);
    const auto decoded = base64Decode(encoded);
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
