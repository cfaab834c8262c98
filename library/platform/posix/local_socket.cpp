#include "platform/local_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

Result<sockaddr_un> addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) return Error(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

Result<Descriptor> openLocal() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Error::last();
    return Descriptor(fd);
}

const sockaddr* generic(const sockaddr_un& address) { return reinterpret_cast<const sockaddr*>(&address); }

}  // namespace

Result<Descriptor> listenLocal(const std::string& path, int backlog) {
    auto address = addressOf(path);
    if (!address.ok()) return address.error();
    auto socket = openLocal();
    if (!socket.ok()) return socket.error();
    Descriptor fd = std::move(socket.value());
    if (::bind(fd.get(), generic(address.value()), sizeof(sockaddr_un)) != 0) return Error::last();
    if (::listen(fd.get(), backlog) != 0) {
        const Error failed = Error::last();
        ::unlink(path.c_str());
        return failed;
    }
    return fd;
}

Result<Descriptor> connectLocal(const std::string& path) {
    auto address = addressOf(path);
    if (!address.ok()) return address.error();
    auto socket = openLocal();
    if (!socket.ok()) return socket.error();
    Descriptor fd = std::move(socket.value());
    int rc;
    do {
        rc = ::connect(fd.get(), generic(address.value()), sizeof(sockaddr_un));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) return Error::last();
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return Error::last();
    return fd;
}

Error removeName(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Error::last();
    return Error();
}

}  // namespace platform
