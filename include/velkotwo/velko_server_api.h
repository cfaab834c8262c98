// Public: the three functions a host program calls to run an HTTPS server,
// and (velkotwo/exception.h) the exception types it may have to catch.
//
// StartHTTPServer builds and starts a server and returns its handle; it
// throws KoException "options are missing" (address, startpath or cgibinpath
// null), "keys are missing" (cacert or privkey null) or "port out of range"
// (beyond 65535 either way), KoException_SSL when the certificate or key
// cannot be loaded, and passes on any other error of building the server.
// The server is not yet listening when it returns.
// ServerPort tells the port once the server listens, 0 before (and for a
// null handle or one that is not live); it never waits. StopHTTPserver stops
// the server, destroys the handle and returns 0; a null handle does nothing
// (0); a handle that is not live (already stopped, or never handed out) is
// left alone and gives kStopUnknownHandle.
// Threads: the host's thread; a handle must not be used after, or at the
// same time as, StopHTTPserver. The library runs the server on its own
// threads.
#pragma once

#include "velkotwo/exception.h"
#include "velkotwo/export.h"

constexpr int kStopUnknownHandle = -1;

VELKO_API void* StartHTTPServer(const char* address, int port, const char* startpath, const char* cgibinpath,
                                const char* cacert, const char* privkey);
VELKO_API int ServerPort(void* handle);
VELKO_API int StopHTTPserver(void* handle);
