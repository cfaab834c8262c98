// Net: the peer record an accepting endpoint hands to its filter. Plain data;
// copy it freely.
#pragma once

#include <functional>
#include <string>

struct KoHostInfo_t {
    std::string address;  // numeric, e.g. "127.0.0.1" or an IPv6 literal
    std::string port;     // numeric, decimal
};

// Decides whether an accepted peer is admitted (true) or dropped at once.
using KoHostFilter = std::function<bool(KoHostInfo_t&)>;
