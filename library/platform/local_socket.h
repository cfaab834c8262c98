// Platform: local (Unix-domain) stream sockets named by a path, for talking
// to helper processes of this server (a FastCGI interpreter listens on one).
//
// Every descriptor is close-on-exec. A path longer than the system's socket
// name limit fails with the "name too long" error. The caller chooses where
// the name lives; a directory only this user may enter keeps other users
// from connecting. Any thread may call these; nothing throws.
#pragma once

#include <string>

#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

// A blocking listening socket bound to path (which must not exist yet).
Result<Descriptor> listenLocal(const std::string& path, int backlog);

// A socket connected to the listener at path, non-blocking once connected.
// A listener with room in its backlog takes the connection before it
// accepts it, so this does not wait for the other side.
Result<Descriptor> connectLocal(const std::string& path);

// Removes the name of a socket (or any file); a missing name is no error.
Error removeName(const std::string& path);

}  // namespace platform
