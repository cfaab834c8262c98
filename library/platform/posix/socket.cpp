#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace platform {
namespace {

static_assert(sizeof(sockaddr_storage) <= sizeof(SocketAddress::storage));

int toNative(AddressFamily family) {
    switch (family) {
        case AddressFamily::ipv4: return AF_INET;
        case AddressFamily::ipv6: return AF_INET6;
        case AddressFamily::unspecified: break;
    }
    return AF_UNSPEC;
}

AddressFamily fromNative(int family) {
    if (family == AF_INET) return AddressFamily::ipv4;
    if (family == AF_INET6) return AddressFamily::ipv6;
    return AddressFamily::unspecified;
}

SocketAddress fromSockaddr(const sockaddr* address, socklen_t length) {
    SocketAddress result;
    if (length > result.storage.size()) length = result.storage.size();
    std::memcpy(result.storage.data(), address, length);
    result.length = length;
    return result;
}

const sockaddr* native(const SocketAddress& address) {
    return reinterpret_cast<const sockaddr*>(address.storage.data());
}

Error setIntOption(int fd, int level, int name, int value) {
    if (::setsockopt(fd, level, name, &value, sizeof value) != 0) return Error::last();
    return Error();
}

}  // namespace

// BSD sockets need no start-up.
void acquireSocketLibrary() {}
void releaseSocketLibrary() {}

AddressFamily SocketAddress::family() const {
    if (length < sizeof(sa_family_t)) return AddressFamily::unspecified;
    sa_family_t family;
    std::memcpy(&family, storage.data() + offsetof(sockaddr, sa_family), sizeof family);
    return fromNative(family);
}

int SocketAddress::port() const {
    switch (family()) {
        case AddressFamily::ipv4: {
            sockaddr_in in;
            std::memcpy(&in, storage.data(), sizeof in);
            return ntohs(in.sin_port);
        }
        case AddressFamily::ipv6: {
            sockaddr_in6 in6;
            std::memcpy(&in6, storage.data(), sizeof in6);
            return ntohs(in6.sin6_port);
        }
        case AddressFamily::unspecified: break;
    }
    return 0;
}

SocketAddress SocketAddress::withPort(int port) const {
    SocketAddress result = *this;
    const auto networkPort = htons(static_cast<std::uint16_t>(port));
    switch (family()) {
        case AddressFamily::ipv4:
            std::memcpy(result.storage.data() + offsetof(sockaddr_in, sin_port), &networkPort,
                        sizeof networkPort);
            break;
        case AddressFamily::ipv6:
            std::memcpy(result.storage.data() + offsetof(sockaddr_in6, sin6_port), &networkPort,
                        sizeof networkPort);
            break;
        case AddressFamily::unspecified: break;
    }
    return result;
}

Resolution resolveStream(const std::string& host, const std::string& service,
                         const ResolveHints& hints) {
    addrinfo request{};
    request.ai_family = toNative(hints.family);
    request.ai_socktype = SOCK_STREAM;
    request.ai_protocol = hints.passive ? IPPROTO_TCP : 0;
    request.ai_flags = (hints.passive ? AI_PASSIVE : 0) | (hints.numericHost ? AI_NUMERICHOST : 0);

    Resolution resolution;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(),
                                 service.empty() ? nullptr : service.c_str(), &request, &list);
    if (rc != 0) {
        resolution.error = rc;
        resolution.errorText = rc == EAI_SYSTEM ? errorText(errno) : ::gai_strerror(rc);
        return resolution;
    }
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        AddressInfo info;
        info.address = fromSockaddr(entry->ai_addr, entry->ai_addrlen);
        info.family = fromNative(entry->ai_family);
        info.type = entry->ai_socktype;
        info.protocol = entry->ai_protocol;
        if (info.family != AddressFamily::unspecified) resolution.entries.push_back(info);
    }
    ::freeaddrinfo(list);
    return resolution;
}

namespace {

// Dotted decimal and port, as getnameinfo writes them for an IPv4 address,
// without its locale and resolver set-up: every accepted peer is named.
bool nameIPv4(const SocketAddress& address, NumericName& name) {
    if (address.family() != AddressFamily::ipv4 || address.length < sizeof(sockaddr_in)) return false;
    sockaddr_in in;
    std::memcpy(&in, address.storage.data(), sizeof in);
    unsigned char octets[4];
    std::memcpy(octets, &in.sin_addr.s_addr, sizeof octets);
    char text[INET_ADDRSTRLEN];
    std::size_t length = 0;
    for (std::size_t i = 0; i < sizeof octets; ++i) {
        if (i != 0) text[length++] = '.';
        const unsigned octet = octets[i];
        if (octet >= 100) text[length++] = static_cast<char>('0' + octet / 100);
        if (octet >= 10) text[length++] = static_cast<char>('0' + octet / 10 % 10);
        text[length++] = static_cast<char>('0' + octet % 10);
    }
    name.host.assign(text, length);
    char port[8];
    name.service.assign(port, std::to_chars(port, port + sizeof port, static_cast<unsigned>(ntohs(in.sin_port))).ptr);
    return true;
}

}  // namespace

NumericName numericName(const SocketAddress& address) {
    NumericName name;
    if (nameIPv4(address, name)) return name;
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    const int rc = ::getnameinfo(native(address), address.length, host, sizeof host, service,
                                 sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        name.error = rc;
        name.errorText = rc == EAI_SYSTEM ? errorText(errno) : ::gai_strerror(rc);
        return name;
    }
    name.host = host;
    name.service = service;
    return name;
}

std::vector<std::string> localInterfaceAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP)) continue;
        const int family = entry->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        const socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(entry->ifa_addr, length, host, sizeof host, nullptr, 0,
                          NI_NUMERICHOST) == 0) {
            addresses.emplace_back(host);
        }
    }
    ::freeifaddrs(list);
    return addresses;
}

Result<Descriptor> openSocket(AddressFamily family, int type, int protocol) {
    const int fd = ::socket(toNative(family), type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return Error::last();
    return Descriptor(fd);
}

Error setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return Error::last();
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) != 0) return Error::last();
    return Error();
}

Result<bool> isNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return Error::last();
    return (flags & O_NONBLOCK) != 0;
}

Error setIPv6Only(int fd, bool on) { return setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0); }

Error setReuseAddress(int fd, bool on) { return setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

Error setNoDelay(int fd, bool on) { return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

Error bindSocket(int fd, const SocketAddress& address) {
    if (::bind(fd, native(address), address.length) != 0) return Error::last();
    return Error();
}

Error listenSocket(int fd, int backlog) {
    if (::listen(fd, backlog) != 0) return Error::last();
    return Error();
}

Result<SocketAddress> localAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Error::last();
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

Result<SocketAddress> peerAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Error::last();
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), length);
}

std::string hostBytes(const SocketAddress& address) {
    if (address.family() == AddressFamily::ipv4 && address.length >= sizeof(sockaddr_in)) {
        sockaddr_in in;
        std::memcpy(&in, address.storage.data(), sizeof in);
        return std::string(reinterpret_cast<const char*>(&in.sin_addr), 4);
    }
    if (address.family() == AddressFamily::ipv6 && address.length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6;
        std::memcpy(&in6, address.storage.data(), sizeof in6);
        const std::string bytes(reinterpret_cast<const char*>(&in6.sin6_addr), 16);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return bytes.substr(12);
        return bytes;
    }
    return std::string();
}

Result<Accepted> acceptSocket(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    int accepted;
    do {
        accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&storage), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) return Error::last();
    return Accepted{Descriptor(accepted), fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), length)};
}

Error connectSocket(int fd, const SocketAddress& address) {
    if (::connect(fd, native(address), address.length) == 0) return Error();
    // An interrupted connect goes on in the background like a non-blocking one.
    if (errno == EINTR) return Error(EINPROGRESS);
    return Error::last();
}

Error pendingError(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &value, &length) != 0) return Error::last();
    return Error(value);
}

namespace {

// One transfer call, repeated while a signal interrupts it.
template <class Transfer>
IoResult retryInterrupted(Transfer transfer) {
    IoResult result;
    ssize_t done;
    do {
        done = transfer();
    } while (done < 0 && errno == EINTR);
    if (done < 0) {
        result.error = Error::last();
    } else {
        result.bytes = static_cast<std::size_t>(done);
    }
    return result;
}

}  // namespace

IoResult sendSome(int fd, const void* data, std::size_t length) {
    return retryInterrupted([&] { return ::send(fd, data, length, MSG_NOSIGNAL); });
}

namespace {

IoResult sendGatherFlags(int fd, const ConstBytes* pieces, std::size_t count, int flags) {
    constexpr std::size_t maxPieces = 64;
    iovec vectors[maxPieces];
    if (count > maxPieces) count = maxPieces;
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(pieces[i].data);
        vectors[i].iov_len = pieces[i].length;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    return retryInterrupted([&] { return ::sendmsg(fd, &message, MSG_NOSIGNAL | flags); });
}

}  // namespace

IoResult sendGather(int fd, const ConstBytes* pieces, std::size_t count) {
    return sendGatherFlags(fd, pieces, count, 0);
}

IoResult sendGatherMore(int fd, const ConstBytes* pieces, std::size_t count) {
    return sendGatherFlags(fd, pieces, count, MSG_MORE);
}

IoResult sendFileRange(int socket, int file, std::uint64_t offset, std::size_t count) {
    // sendfile has no MSG_NOSIGNAL: a peer that went away would raise
    // SIGPIPE, whose default ends the process. The signal is held back on
    // this thread (for good: the threads that send files are loops), and one
    // raised here is taken out of the pending set again.
    thread_local const bool held = [] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        return ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr) == 0;
    }();
    if (!held) return IoResult{0, Error(EPIPE)};
    off_t position = static_cast<off_t>(offset);
    IoResult result = retryInterrupted([&] { return ::sendfile(socket, file, &position, count); });
    if (result.error.code() == EPIPE) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        const timespec now{0, 0};
        while (::sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
        }
    }
    return result;
}

IoResult receiveSome(int fd, void* data, std::size_t capacity) {
    return retryInterrupted([&] { return ::recv(fd, data, capacity, 0); });
}

Result<SocketPair> socketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return Error::last();
    return SocketPair{Descriptor(fds[0]), Descriptor(fds[1])};
}

Error shutdownSocket(int fd) {
    if (::shutdown(fd, SHUT_RDWR) != 0) return Error::last();
    return Error();
}

Error shutdownSending(int fd) {
    if (::shutdown(fd, SHUT_WR) != 0) return Error::last();
    return Error();
}

Error setResetOnClose(int fd) {
    const linger abort{1, 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort) != 0) return Error::last();
    return Error();
}

}  // namespace platform
