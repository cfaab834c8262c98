#include "server/http/request_path.h"

#include <string_view>

#include "foundation/text_utils.h"
#include "platform/file_system.h"

namespace {

constexpr std::string_view kPlainSymbols = "/-._~!$&'()*+,;=:@";

bool Plain(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           kPlainSymbols.find(c) != std::string_view::npos;
}

}  // namespace

std::optional<std::string> KoNormaliseRequestPath(const std::string& path) {
    const std::optional<std::string> strict = percentDecodeStrict(path);
    if (!strict) return std::nullopt;
    const std::string& decoded = *strict;
    if (decoded.empty() || decoded.front() != '/') return std::nullopt;
    std::string normal;
    normal.reserve(decoded.size());
    for (char c : decoded) {
        if (c == '\0' || c == '\\') return std::nullopt;
        if (c == '/' && !normal.empty() && normal.back() == '/') continue;
        // A segment may not begin with ".": no step up, no hidden name.
        if (c == '.' && normal.back() == '/') return std::nullopt;
        normal += c;
    }
    if (platform::isAliasedPath(normal)) return std::nullopt;
    return normal;
}

std::string KoEncodeRequestPath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (Plain(c)) {
            out += c;
        } else {
            const auto u = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0xf];
        }
    }
    return out;
}
