// Host interface: the access rules of velko::ServerOptions as the server
// applies them: KoAccessGuardFor makes the router's guard (address rules and
// HTTP Basic authentication by path prefix, with a limit on failed log-ins)
// and KoAdmitFor the accept-time filter of the whole server's address
// rules.
//
// A successful log-in is remembered (by a keyed digest of the credentials,
// at most a few hundred) so that a browser, which sends them with every
// request, costs one slow password check, not one per request.
//
// Threads: built once; the guard and the filter are called from every loop
// at once. Failures: KoException for a rule or password file that cannot be
// read, for a password file on plain HTTP without passwordsOverHttp, and,
// in a build without password support, for any access rule.
#pragma once

#include <memory>
#include <string>

#include "net/host_info.h"
#include "server/routing/request_guard.h"
#include "velkotwo/server.h"

// Null when the options name no access rule.
std::shared_ptr<KoRequestGuard> KoAccessGuardFor(const velko::ServerOptions& options);

// Empty when rules is empty.
KoHostFilter KoAdmitFor(const std::string& rules);

// Whether pathPrefix covers path: "/admin" covers "/admin" and "/admin/x",
// not "/administrator"; "/" covers every path.
bool KoPrefixCovers(const std::string& pathPrefix, const std::string& path);
