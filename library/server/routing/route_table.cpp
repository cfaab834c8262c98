#include "server/routing/route_table.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "foundation/exception.h"

namespace {

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Segments(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t at = 1;
    while (at <= path.size()) {
        const std::size_t slash = path.find('/', at);
        segments.push_back(path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    return segments;
}

bool HasParameter(const std::string& pattern) { return pattern.find("/:") != std::string::npos; }

// Where two patterns first differ: a literal segment before a parameter
// before the rest; a longer pattern before its own beginning.
int Rank(const std::vector<std::string>& segments, bool rest, std::size_t i) {
    if (i == segments.size()) return rest ? 2 : 3;
    return segments[i].front() == ':' ? 1 : 0;
}

}  // namespace

bool KoRouteTable::matches(const Pattern& pattern, const std::string& path,
                           std::vector<std::pair<std::string, std::string>>& parameters) {
    parameters.clear();
    std::size_t at = 1;
    for (const std::string& segment : pattern.segments) {
        if (at > path.size()) return false;
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        const std::string_view piece(path.data() + at, end - at);
        if (segment.front() == ':') {
            if (piece.empty()) return false;
            parameters.emplace_back(segment.substr(1), std::string(piece));
        } else if (piece != segment) {
            return false;
        }
        at = end + 1;
    }
    if (pattern.rest) {
        if (at > path.size()) return false;  // "/a/*" takes "/a/", not "/a"
        parameters.emplace_back("*", path.substr(at));
        return true;
    }
    return at == path.size() + 1;
}

KoRouteTable::Pattern KoRouteTable::patternOf(const std::string& pattern) {
    const bool prefix = pattern.back() == '*';
    Pattern entry;
    entry.text = pattern;
    entry.rest = prefix;
    if (prefix && pattern.size() >= 2 && pattern[pattern.size() - 2] != '/') {
        throw KoException("a pattern with parameters ends in \"/*\" or not in '*'", __LINE__, "src");
    }
    entry.segments = Segments(prefix ? pattern.substr(0, pattern.size() - 2) : pattern);
    for (const std::string& segment : entry.segments) {
        if (segment.empty() || segment == ":") throw KoException("a route's segment is empty", __LINE__, "src");
    }
    return entry;
}

std::vector<std::pair<std::string, std::string>> KoRouteTable::parametersOf(const std::string& pattern,
                                                                           const std::string& path) {
    std::vector<std::pair<std::string, std::string>> parameters;
    if (pattern.empty() || pattern.front() != '/') return parameters;
    if (HasParameter(pattern)) {
        if (!matches(patternOf(pattern), path, parameters)) parameters.clear();
        return parameters;
    }
    if (pattern.back() != '*') return parameters;
    const std::string start = pattern.substr(0, pattern.size() - 1);
    if (path.compare(0, start.size(), start) == 0) parameters.emplace_back("*", path.substr(start.size()));
    return parameters;
}

void KoRouteTable::add(const std::string& method, const std::string& pattern, Handler handler) {
    if (method.empty()) throw KoException("a route needs a method", __LINE__, "src");
    if (pattern.empty() || pattern.front() != '/') throw KoException("a route's path must begin with '/'", __LINE__, "src");
    const bool prefix = pattern.back() == '*';
    if (HasParameter(pattern)) {
        auto found = std::find_if(patterns.begin(), patterns.end(), [&](const Pattern& p) { return p.text == pattern; });
        if (!handler) {
            if (found == patterns.end()) return;
            found->routes.erase(UpperCase(method));
            if (found->routes.empty()) patterns.erase(found);
            return;
        }
        if (found == patterns.end()) {
            patterns.push_back(patternOf(pattern));
            found = patterns.end() - 1;
            std::stable_sort(patterns.begin(), patterns.end(), [](const Pattern& a, const Pattern& b) {
                for (std::size_t i = 0;; ++i) {
                    const int ra = Rank(a.segments, a.rest, i), rb = Rank(b.segments, b.rest, i);
                    if (ra != rb) return ra < rb;
                    if (i >= a.segments.size() || i >= b.segments.size()) return false;
                    if (ra == 0 && a.segments[i] != b.segments[i]) return a.segments[i] < b.segments[i];
                }
            });
            found = std::find_if(patterns.begin(), patterns.end(), [&](const Pattern& p) { return p.text == pattern; });
        }
        found->routes[UpperCase(method)] = std::move(handler);
        return;
    }
    auto& table = prefix ? prefixes : exact;
    const std::string path = prefix ? pattern.substr(0, pattern.size() - 1) : pattern;
    if (handler) {
        table[path][UpperCase(method)] = std::move(handler);
        return;
    }
    auto it = table.find(path);
    if (it == table.end()) return;
    it->second.erase(UpperCase(method));
    if (it->second.empty()) table.erase(it);
}

KoRouteTable::Handler KoRouteTable::pick(const ByMethod& routes, const std::string& method) {
    for (const std::string& candidate : {method, std::string("*"), std::string(method == "HEAD" ? "GET" : "")}) {
        auto it = routes.find(candidate);
        if (it != routes.end()) return it->second;
    }
    return nullptr;
}

std::vector<std::string> KoRouteTable::methodsOf(const ByMethod& routes) {
    if (routes.count("*") != 0) return {"*"};
    std::vector<std::string> methods;
    for (const auto& [method, handler] : routes) methods.push_back(method);
    if (routes.count("GET") != 0 && routes.count("HEAD") == 0) methods.push_back("HEAD");
    std::sort(methods.begin(), methods.end());
    return methods;
}

KoRouteTable::Match KoRouteTable::match(const std::string& method, const std::string& path) const {
    const std::string upper = UpperCase(method);
    Match result;
    const ByMethod* firstKnown = nullptr;  // the best routes for the path, of any method
    const auto consider = [&](const ByMethod& routes) {
        if (firstKnown == nullptr) firstKnown = &routes;
        result.handler = pick(routes, upper);
        return result.handler != nullptr;
    };
    auto exactRoutes = exact.find(path);
    if (exactRoutes != exact.end() && consider(exactRoutes->second)) return result;
    std::vector<std::pair<std::string, std::string>> parameters;
    for (const Pattern& pattern : patterns) {
        if (!matches(pattern, path, parameters)) continue;
        if (consider(pattern.routes)) {
            result.parameters = std::move(parameters);
            return result;
        }
    }
    for (std::size_t length = path.size(); length > 0; --length) {
        auto routes = prefixes.find(path.substr(0, length));
        if (routes == prefixes.end()) continue;
        if (consider(routes->second)) return result;
    }
    if (firstKnown != nullptr) result.allowed = methodsOf(*firstKnown);
    return result;
}
