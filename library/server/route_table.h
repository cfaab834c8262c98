// Server stack: KoRouteTable, the host's routes: which handler answers a
// request by its method and path, looked up before the file route.
//
// A pattern is an exact path ("/status") or, ending in '*', a prefix
// ("/api/*" takes every path that begins with "/api/"). A method is an
// HTTP method (compared without regard to case) or "*" for every method.
// Lookup: an exact path first, else the longest prefix; for one path or
// prefix, the route of the request's own method, else "*", else, for HEAD,
// the GET route (the layer then sends the head only).
//
// Ownership: the table shares its handlers with whoever holds them.
// Threads: a plain value, not synchronised; the owner guards it (or shares
// a table nobody changes). Failures: add throws KoException "a route's path
// must begin with '/'" and "a route needs a method".
#pragma once

#include <map>
#include <memory>
#include <string>

#include "server/router_services.h"

class KoRouteTable {
public:
    using Handler = std::shared_ptr<KoApplicationHandler>;

    // Enters (or replaces) a route; a null handler removes it.
    void add(const std::string& method, const std::string& pattern, Handler handler);
    // The handler for the request, or null.
    Handler find(const std::string& method, const std::string& path) const;
    bool empty() const { return exact.empty() && prefixes.empty(); }

private:
    using ByMethod = std::map<std::string, Handler>;
    static Handler pick(const ByMethod& routes, const std::string& method);

    std::map<std::string, ByMethod> exact;
    std::map<std::string, ByMethod> prefixes;
};
