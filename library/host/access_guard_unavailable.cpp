// The access rules in a build without the access subsystem (no crypt(3)):
// a host that names any is told so at start, never served unguarded.
#include "host/access_guard.h"

#include "foundation/exception.h"

bool KoPrefixCovers(const std::string& pathPrefix, const std::string& path) {
    if (pathPrefix.empty() || path.compare(0, pathPrefix.size(), pathPrefix) != 0) return false;
    return path.size() == pathPrefix.size() || pathPrefix.back() == '/' || path[pathPrefix.size()] == '/';
}

std::shared_ptr<KoRequestGuard> KoAccessGuardFor(const velko::ServerOptions& options) {
    if (options.access.empty()) return nullptr;
    throw KoException("access rules and password files are not supported by this build", __LINE__, "src");
}

KoHostFilter KoAdmitFor(const std::string& rules) {
    if (rules.find_first_not_of(" \t\r\n") == std::string::npos) return nullptr;
    throw KoException("address rules are not supported by this build", __LINE__, "src");
}
