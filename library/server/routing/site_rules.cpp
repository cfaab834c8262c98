#include "server/routing/site_rules.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "foundation/text_utils.h"
#include "message/http_tables.h"
#include "platform/thread_slot.h"

namespace {

struct Origin {
    std::string scheme;
    std::string host;  // lower case, brackets kept
    std::string port;  // the scheme's default when none was named
};

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

std::string DefaultPort(std::string_view scheme) {
    if (scheme == "https") return "443";
    if (scheme == "http") return "80";
    return std::string();
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// host [":" port] of a scheme; empty when malformed.
std::optional<Origin> OriginOf(std::string_view scheme, std::string_view authority) {
    if (authority.empty()) return std::nullopt;
    const std::string_view name = KoHostNameOf(authority);
    if (name.empty()) return std::nullopt;
    Origin origin{Lower(scheme), Lower(name), std::string()};
    const std::string_view rest = authority.substr(name.size());
    if (rest.empty()) {
        origin.port = DefaultPort(origin.scheme);
    } else if (rest.front() == ':' && AllDigits(rest.substr(1))) {
        origin.port = std::string(rest.substr(1));
        origin.port.erase(0, std::min(origin.port.find_first_not_of('0'), origin.port.size() - 1));
    } else {
        return std::nullopt;
    }
    return origin;
}

// "scheme://authority[/...]": the origin a URL belongs to.
std::optional<Origin> OriginOfUrl(std::string_view url) {
    const std::size_t mark = url.find("://");
    if (mark == std::string_view::npos || mark == 0) return std::nullopt;
    std::string_view authority = url.substr(mark + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
    return OriginOf(url.substr(0, mark), authority);
}

bool SameOrigin(const Origin& a, const Origin& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

bool Allowed(const std::optional<Origin>& origin, std::string_view text, const KoSiteRules& rules) {
    for (const std::string& allowed : rules.allowedOrigins) {
        if (sameLetters(allowed, text)) return true;
        const auto listed = OriginOfUrl(allowed);
        if (origin && listed && SameOrigin(*origin, *listed)) return true;
    }
    return false;
}

// a.b.c.d with four decimal parts up to 255; the first part in first.
bool IsIPv4(std::string_view name, int* first = nullptr) {
    // Asked of every request's Host: one walk, digit by digit, nothing copied.
    int parts = 0;
    int value = 0;
    int digits = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (digits == 0 || value > 255) return false;
            if (parts == 0 && first != nullptr) *first = value;
            ++parts;
            value = 0;
            digits = 0;
            continue;
        }
        const char c = name[i];
        if (c < '0' || c > '9' || ++digits > 3) return false;
        value = value * 10 + (c - '0');
    }
    return parts == 4;
}

// "[...]" holding what an IPv6 address is written with; browsers send it
// in its shortest form.
bool IsIPv6Literal(std::string_view name) {
    if (name.size() < 4 || name.front() != '[' || name.back() != ']') return false;
    const std::string_view inner = name.substr(1, name.size() - 2);
    return inner.find(':') != std::string_view::npos &&
           std::all_of(inner.begin(), inner.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                      c == '.';
           });
}

// name: a Host's name, or a bound address (IPv6 there without brackets).
bool IsLoopbackName(std::string_view name) {
    if (name.empty()) return false;
    // A name starting with a digit can only be an IPv4 address here.
    if (name.front() >= '0' && name.front() <= '9') {
        int first = 0;
        return IsIPv4(name, &first) && first == 127;
    }
    return name == "[::1]" || name == "::1" || sameLetters(name, "localhost");
}

// The last name asked about and its answer, kept per thread.
struct LastLoopback {
    std::string name;  // empty: not a loopback name, as IsLoopbackName says
    bool loopback = false;
};

bool IsLoopbackRemembered(LastLoopback& last, std::string_view name) {
    if (name != last.name) {
        last.loopback = IsLoopbackName(name);
        last.name.assign(name);
    }
    return last.loopback;
}

// The bound address of a server's requests is the same for all of them:
// what it is decided once per address and thread, not per request.
struct LastBoundAddress : LastLoopback {};
struct LastHostName : LastLoopback {};

bool IsLoopbackAddress(std::string_view bound) {
    return IsLoopbackRemembered(platform::perThread<LastBoundAddress>(), bound);
}

bool IsAddressLiteral(std::string_view name) { return IsIPv4(name) || IsIPv6Literal(name); }

bool Listed(std::string_view name, const KoSiteRules& rules) {
    return std::any_of(rules.allowedHosts.begin(), rules.allowedHosts.end(),
                       [&](const std::string& allowed) { return sameLetters(KoHostNameOf(allowed), name); });
}

}  // namespace

bool KoMethodMayCommand(std::int32_t method, const KoSiteRules& rules) {
    return method == method_code::POST || (method == method_code::GET && rules.commandsOnGet);
}

bool KoMethodActs(std::int32_t method) {
    return method != method_code::GET && method != method_code::HEAD && method != method_code::OPTIONS;
}

std::string_view KoHostNameOf(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        return close == std::string_view::npos ? std::string_view() : host.substr(0, close + 1);
    }
    return host.substr(0, host.find(':'));
}

bool KoIsCrossSite(const KoRequestSite& site, std::string_view scheme, std::string_view host,
                   const KoSiteRules& rules) {
    const std::string_view named = !site.origin.empty() ? site.origin : site.referer;
    std::optional<Origin> from;
    if (!named.empty()) from = OriginOfUrl(named);
    if (!named.empty() && Allowed(from, named, rules)) return false;
    if (sameLetters(site.secFetchSite, "cross-site")) return true;
    if (named.empty()) return false;
    const auto own = OriginOf(scheme, host);
    // An origin that cannot be read ("null" from a sandboxed frame) is not ours.
    return !from || !own || !SameOrigin(*from, *own);
}

bool KoHostAllowed(std::string_view host, std::string_view boundAddress, const KoSiteRules& rules) {
    if (host.empty()) return true;
    const std::string_view name = KoHostNameOf(host);
    if (Listed(name, rules)) return true;
    if (IsLoopbackAddress(boundAddress)) {
        // The clients of one server send the same Host again and again.
        return IsLoopbackRemembered(platform::perThread<LastHostName>(), name);
    }
    if (rules.allowedHosts.empty()) return true;
    return IsLoopbackName(name) || IsAddressLiteral(name);
}

std::vector<std::pair<std::string, std::string>> KoSecurityFieldLines(const KoSecurityFields& fields, bool https) {
    std::vector<std::pair<std::string, std::string>> lines;
    if (https && !fields.strictTransportSecurity.empty()) {
        lines.emplace_back("Strict-Transport-Security", fields.strictTransportSecurity);
    }
    if (!fields.frameOptions.empty()) {
        lines.emplace_back("X-Frame-Options", fields.frameOptions);
        const bool same = sameLetters(fields.frameOptions, "SAMEORIGIN");
        lines.emplace_back("Content-Security-Policy", same ? "frame-ancestors 'self'" : "frame-ancestors 'none'");
    }
    if (!fields.referrerPolicy.empty()) lines.emplace_back("Referrer-Policy", fields.referrerPolicy);
    if (fields.noSniff) lines.emplace_back("X-Content-Type-Options", "nosniff");
    if (fields.server) lines.emplace_back("Server", *fields.server);
    return lines;
}
