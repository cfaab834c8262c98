#include "platform/descriptor.h"

#include "platform/win32/wide_text.h"

namespace platform {

void Descriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        // One type holds sockets and other handles; a socket must be closed
        // by Winsock, which refuses anything else.
        if (::closesocket(win32::toSocket(fd_)) != 0) {
            const int error = ::WSAGetLastError();
            if (error == WSAENOTSOCK || error == WSANOTINITIALISED) ::CloseHandle(win32::toHandle(fd_));
        }
    }
    fd_ = fd;
}

}  // namespace platform
