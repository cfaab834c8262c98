#include "server/route_table.h"

#include <cctype>

#include "foundation/exception.h"

namespace {

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void KoRouteTable::add(const std::string& method, const std::string& pattern, Handler handler) {
    if (method.empty()) throw KoException("a route needs a method", __LINE__, "src");
    if (pattern.empty() || pattern.front() != '/') throw KoException("a route's path must begin with '/'", __LINE__, "src");
    const bool prefix = pattern.back() == '*';
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

KoRouteTable::Handler KoRouteTable::find(const std::string& method, const std::string& path) const {
    const std::string upper = UpperCase(method);
    auto exactRoutes = exact.find(path);
    if (exactRoutes != exact.end()) {
        if (Handler handler = pick(exactRoutes->second, upper)) return handler;
    }
    for (std::size_t length = path.size(); length > 0; --length) {
        auto routes = prefixes.find(path.substr(0, length));
        if (routes == prefixes.end()) continue;
        if (Handler handler = pick(routes->second, upper)) return handler;
    }
    return nullptr;
}
