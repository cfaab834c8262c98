// Server stack: cookies - the pairs of a request's "Cookie" field, and the
// value of a "Set-Cookie" field the host asks for.
//
// Reading is lenient as browsers are (a pair without '=' is skipped, blanks
// around pairs dropped, a quoted value unquoted); writing is strict: a name
// must be a token and a value cookie-octets, else KoException, so that a
// host cannot let a value break the header. A cookie marked SameSite=None is
// always Secure, as browsers demand. Plain functions: any thread.
// May use: foundation.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Name and value pairs in the order they came (a name may repeat).
std::vector<std::pair<std::string, std::string>> KoParseCookies(std::string_view cookieField);

struct KoSetCookie {
    enum class SameSite { unset, strict, lax, none };

    std::string name;
    std::string value;
    std::string path = "/";
    std::string domain;                           // empty: this host only
    std::optional<std::chrono::seconds> maxAge;   // empty: a session cookie
    bool httpOnly = true;
    bool secure = false;
    SameSite sameSite = SameSite::lax;

    // The Set-Cookie field value. Throws KoException naming what is wrong.
    std::string fieldValue() const;
};
