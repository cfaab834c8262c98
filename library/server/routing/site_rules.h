// Server stack: the rules that keep other web sites from driving a server
// through its visitors' browsers, and the security fields of its answers.
//
// Safe methods: HEAD never runs a command; GET runs one only with
// commandsOnGet (the three exported functions keep it on, the host
// interface off). Cross-site requests: a request that would act (a command
// or a host handler, any method but GET, HEAD and OPTIONS) is refused when
// the browser says it comes from another site (Sec-Fetch-Site:
// cross-site), or names an Origin (else a Referer) whose scheme, host and
// port are not the server's own (the Host field with the connection's
// scheme) nor one of allowedOrigins; a request with neither passes (curl,
// scripts). Host names (DNS rebinding): a server bound to a loopback
// address answers only a Host that is a loopback name or address
// ("localhost", 127.0.0.0/8, "[::1]", with any port) or one of
// allowedHosts; a server bound elsewhere, when allowedHosts is not empty,
// answers those, loopback names and IP literals (a page whose origin is an
// address cannot be a rebound name). A request without Host (HTTP/1.0)
// passes.
//
// Pure functions over texts; any thread; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Header fields the server adds to its answers; empty texts add none.
struct KoSecurityFields {
    std::string strictTransportSecurity;  // on HTTPS answers only
    std::string frameOptions;             // "DENY" or "SAMEORIGIN", with its CSP frame-ancestors
    std::string referrerPolicy = "strict-origin-when-cross-origin";
    bool noSniff = false;                 // X-Content-Type-Options on every answer
    // The Server line instead of the product token; "" hides the server.
    std::optional<std::string> server;
};

struct KoSiteRules {
    bool commandsOnGet = true;
    // "https://panel.example:8443" (a default port may be left out), "null".
    std::vector<std::string> allowedOrigins;
    // Host names, compared without case and without the port.
    std::vector<std::string> allowedHosts;
    KoSecurityFields fields;
};

// Whether a request of method may run a command at all.
bool KoMethodMayCommand(std::int32_t method, const KoSiteRules& rules);

// Whether a request of method that would act must be checked for its origin.
bool KoMethodActs(std::int32_t method);

// What the browser told of where a request comes from.
struct KoRequestSite {
    std::string_view secFetchSite;
    std::string_view origin;
    std::string_view referer;
};

// True when the request comes from another site than scheme://host (host:
// the Host field's value, port included when sent).
bool KoIsCrossSite(const KoRequestSite& site, std::string_view scheme, std::string_view host,
                   const KoSiteRules& rules);

// True when the Host field's value may be answered by a server bound to
// boundAddress ("127.0.0.1", "localhost", "::1", "0.0.0.0", "").
bool KoHostAllowed(std::string_view host, std::string_view boundAddress, const KoSiteRules& rules);

// The name of a Host value without its port: "[::1]:8443" gives "[::1]".
std::string_view KoHostNameOf(std::string_view host);

// The fields (name, value) that an answer over scheme gets.
std::vector<std::pair<std::string, std::string>> KoSecurityFieldLines(const KoSecurityFields& fields, bool https);
