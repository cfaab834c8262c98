// velko::Answer::setCookie over the server's Set-Cookie builder, which
// refuses what could break the header.
#include <chrono>

#include "server/http/cookies.h"
#include "velkotwo/server.h"

namespace velko {

Answer& Answer::setCookie(const Cookie& cookie) {
    KoSetCookie field;
    field.name = cookie.name;
    field.value = cookie.value;
    field.path = cookie.path;
    field.domain = cookie.domain;
    if (cookie.maxAge >= 0) field.maxAge = std::chrono::seconds(cookie.maxAge);
    field.httpOnly = cookie.httpOnly;
    field.secure = cookie.secure;
    switch (cookie.sameSite) {
    case Cookie::SameSite::unset: field.sameSite = KoSetCookie::SameSite::unset; break;
    case Cookie::SameSite::strict: field.sameSite = KoSetCookie::SameSite::strict; break;
    case Cookie::SameSite::lax: field.sameSite = KoSetCookie::SameSite::lax; break;
    case Cookie::SameSite::none: field.sameSite = KoSetCookie::SameSite::none; break;
    }
    headers.emplace_back("Set-Cookie", field.fieldValue());
    return *this;
}

}  // namespace velko
