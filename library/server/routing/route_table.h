// Server stack: KoRouteTable, the host's routes: which handler answers a
// request by its method and path, looked up before the file route.
//
// A pattern is an exact path ("/status"); or, ending in '*', a prefix
// ("/api/*" takes every path that begins with "/api/"); or a path with
// parameters, segments spelt ":name" that match one whole non-empty segment
// ("/api/items/:id"), and may end in "/*", which takes the rest of the path
// as the parameter "*". A method is an HTTP method (compared without regard
// to case) or "*" for every method.
// Lookup: an exact path first, else the patterns with parameters (at the
// first segment where two differ, a literal segment before a parameter
// before the rest), else the longest prefix; for one path or pattern, the
// route of the request's own method, else "*", else, for HEAD, the GET route
// (the layer then sends the head only). A path that some route takes but not
// for the request's method is told apart, with the methods it allows (for
// 405 and OPTIONS).
//
// Ownership: the table shares its handlers with whoever holds them.
// Threads: a plain value, not synchronised; the owner guards it (or shares
// a table nobody changes). Failures: add throws KoException "a route's path
// must begin with '/'" and "a route needs a method".
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/routing/router_services.h"

class KoRouteTable {
public:
    using Handler = std::shared_ptr<KoApplicationHandler>;

    // Enters (or replaces) a route; a null handler removes it.
    void add(const std::string& method, const std::string& pattern, Handler handler);
    struct Match {
        Handler handler;  // null: no route for this method (or path)
        // The pattern's parameters in its order: {"id", "7"}, {"*", "a/b"}.
        std::vector<std::pair<std::string, std::string>> parameters;
        // When the path has routes but none for the method: the methods
        // they take, upper case, sorted, HEAD beside GET ("*" alone when
        // any method is taken).
        std::vector<std::string> allowed;
    };
    Match match(const std::string& method, const std::string& path) const;
    // The handler for the request, or null.
    Handler find(const std::string& method, const std::string& path) const { return match(method, path).handler; }
    bool empty() const { return exact.empty() && prefixes.empty() && patterns.empty(); }
    // What a (valid) pattern takes from a path it matches: its parameters,
    // and for a prefix ("/api/*") the rest as "*"; none for an exact path
    // or a path it does not match.
    static std::vector<std::pair<std::string, std::string>> parametersOf(const std::string& pattern,
                                                                         const std::string& path);

private:
    using ByMethod = std::map<std::string, Handler>;
    static Handler pick(const ByMethod& routes, const std::string& method);
    static std::vector<std::string> methodsOf(const ByMethod& routes);

    // A pattern with parameters, cut into its segments.
    struct Pattern {
        std::string text;
        std::vector<std::string> segments;  // ":name" for a parameter
        bool rest = false;                  // ends in "/*"
        ByMethod routes;
    };
    static bool matches(const Pattern& pattern, const std::string& path,
                        std::vector<std::pair<std::string, std::string>>& parameters);
    static Pattern patternOf(const std::string& pattern);

    std::map<std::string, ByMethod> exact;
    std::map<std::string, ByMethod> prefixes;
    std::vector<Pattern> patterns;  // in lookup order
};
