#include "platform/local_socket.h"

#include "platform/win32/wide_text.h"

// Windows has no Unix-domain sockets that every supported version (and
// Wine) takes, and its php-cgi listens on TCP only: local sockets are
// refused here, as a platform without the address family refuses them.
namespace platform {

Result<Descriptor> listenLocal(const std::string&, int) { return Error(WSAEAFNOSUPPORT); }

Result<Descriptor> connectLocal(const std::string&) { return Error(WSAEAFNOSUPPORT); }

Error removeName(const std::string& path) {
    if (!::DeleteFileW(win32::toWide(path).c_str())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return Error(static_cast<int>(error));
    }
    return Error();
}

}  // namespace platform
