// Access: the user name and password of an HTTP Basic "Authorization" value
// ("Basic " and base64 of "user:password").
//
// Strict: the scheme is matched without regard to case, the base64 must be
// well formed (padding included), and the decoded text must hold a colon,
// no control bytes and a non-empty user. Plain function: any thread.
// May use: foundation.
#pragma once

#include <optional>
#include <string>
#include <string_view>

struct KoBasicCredentials {
    std::string user;
    std::string password;
};

std::optional<KoBasicCredentials> parseBasicAuthorization(std::string_view value);

// The value of a "WWW-Authenticate" field asking for Basic credentials in
// realm (quotes and backslashes in it escaped).
std::string basicChallenge(std::string_view realm);
