// Embedding interface: the three functions a host program calls to run an
// HTTPS server, and the exception types it may have to catch.
// May use: app, store, foundation (and through them everything below).
//
// StartHTTPServer builds and starts a server and returns its handle; it
// throws KoException "options are missing" (address, startpath or cgibinpath
// null) or "keys are missing" (cacert or privkey null), and passes on any
// error of building the store, the application or the server. The server
// is not yet listening when it returns.
// ServerPort tells the port once the server listens, 0 before (and for a
// null handle); it never waits. StopHTTPserver stops the server, destroys
// the handle (null: nothing) and returns 0.
// Threads: the host's thread; a handle must not be used after, or at the
// same time as, StopHTTPserver.
#pragma once

#include "foundation/exception.h"
#include "foundation/export.h"

VELKO_API void* StartHTTPServer(const char* address, int port, const char* startpath, const char* cgibinpath,
                                const char* cacert, const char* privkey);
VELKO_API int ServerPort(void* handle);
VELKO_API int StopHTTPserver(void* handle);
