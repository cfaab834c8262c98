#include "server/http/cookies.h"

#include "foundation/exception.h"
#include "foundation/text_utils.h"

namespace {

bool IsTokenChar(char c) {
    if (c >= '0' && c <= '9') return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    for (const char allowed : std::string_view("!#$%&'*+-.^_`|~")) {
        if (c == allowed) return true;
    }
    return false;
}

// Printable ASCII but for blank, '"', ',', ';' and '\'.
bool IsCookieOctet(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x21 && byte <= 0x7E && c != '"' && c != ',' && c != ';' && c != '\\';
}

// Path and domain attributes: printable, no ';'.
bool IsAttributeText(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == ';') return false;
    }
    return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> KoParseCookies(std::string_view cookieField) {
    std::vector<std::pair<std::string, std::string>> cookies;
    while (!cookieField.empty()) {
        const std::size_t semicolon = cookieField.find(';');
        const std::string_view pair = trimBlanks(cookieField.substr(0, semicolon));
        cookieField = semicolon == std::string_view::npos ? std::string_view{} : cookieField.substr(semicolon + 1);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos || equals == 0) continue;
        std::string_view value = trimBlanks(pair.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        cookies.emplace_back(std::string(trimBlanks(pair.substr(0, equals))), std::string(value));
    }
    return cookies;
}

std::string KoSetCookie::fieldValue() const {
    if (name.empty()) throw KoException("a cookie needs a name", __LINE__, "src");
    for (const char c : name) {
        if (!IsTokenChar(c)) throw KoException("a cookie name must be a token: " + name, __LINE__, "src");
    }
    for (const char c : value) {
        if (!IsCookieOctet(c)) throw KoException("a cookie value may not hold that byte: " + name, __LINE__, "src");
    }
    if (!IsAttributeText(path) || !IsAttributeText(domain)) {
        throw KoException("a cookie's path or domain may not hold that byte: " + name, __LINE__, "src");
    }
    std::string field = name + "=" + value;
    if (!path.empty()) field += "; Path=" + path;
    if (!domain.empty()) field += "; Domain=" + domain;
    if (maxAge) field += "; Max-Age=" + std::to_string(maxAge->count() < 0 ? 0 : maxAge->count());
    if (secure || sameSite == SameSite::none) field += "; Secure";
    if (httpOnly) field += "; HttpOnly";
    switch (sameSite) {
        case SameSite::strict: field += "; SameSite=Strict"; break;
        case SameSite::lax: field += "; SameSite=Lax"; break;
        case SameSite::none: field += "; SameSite=None"; break;
        case SameSite::unset: break;
    }
    return field;
}
