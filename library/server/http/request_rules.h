// Server stack: rules a request must meet before anything is looked up,
// and which methods each kind of resource takes.
//
// Host: an HTTP/1.1 request carries exactly one Host line, any request at
// most one, and its value is a host with an optional port (no blanks, no
// path, no user information); otherwise 400.
// Methods: static files and default documents take GET and HEAD; scripts
// (CGI, PHP) and store values GET, HEAD and POST. OPTIONS is answered 204
// and any other known method 405, both with "Allow" (OPTIONS included).
// Pure functions; any thread may call them; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <string>

class KoXHeader;
class KoXResponseHeader;

enum class KoResourceKind { file, script, store };

// 0 when the request meets the Host rules, else 400.
std::int32_t KoHostRuleStatus(const KoXHeader& request);

// The "Allow" value for a kind of resource: "GET, HEAD, OPTIONS", ...
std::string KoAllowedMethods(KoResourceKind kind);

// 0 when the resource serves the method, 204 for OPTIONS, 405 otherwise.
std::int32_t KoMethodStatus(std::int32_t method, KoResourceKind kind);

// Makes response the 204 or 405 answer for the resource, with "Allow".
void KoMethodAnswer(std::int32_t status, KoResourceKind kind, KoXResponseHeader& response);
