#include "platform/socket.h"

#include "platform/thread_slot.h"
#include "platform/win32/wide_text.h"

#include <iphlpapi.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace platform {
namespace {

using win32::fromSocket;
using win32::toSocket;

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

SocketAddress fromSockaddr(const sockaddr* address, std::size_t length) {
    SocketAddress result;
    if (length > result.storage.size()) length = result.storage.size();
    std::memcpy(result.storage.data(), address, length);
    result.length = static_cast<std::uint32_t>(length);
    return result;
}

const sockaddr* native(const SocketAddress& address) {
    return reinterpret_cast<const sockaddr*>(address.storage.data());
}

Error lastSocketError() { return Error(::WSAGetLastError()); }

Error setIntOption(int fd, int level, int name, int value) {
    if (::setsockopt(toSocket(fd), level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0)
        return lastSocketError();
    return Error();
}

// Sockets never pass to child processes (the counterpart of close-on-exec).
void keepFromChildren(SOCKET socket) { ::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0); }

}  // namespace

namespace {
std::mutex libraryLock;
int libraryUsers = 0;
}  // namespace

void acquireSocketLibrary() {
    std::lock_guard<std::mutex> guard(libraryLock);
    if (libraryUsers++ == 0) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
    }
}

void releaseSocketLibrary() {
    std::lock_guard<std::mutex> guard(libraryLock);
    if (libraryUsers > 0 && --libraryUsers == 0) ::WSACleanup();
}

AddressFamily SocketAddress::family() const {
    if (length < sizeof(ADDRESS_FAMILY)) return AddressFamily::unspecified;
    ADDRESS_FAMILY family;
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
            std::memcpy(result.storage.data() + offsetof(sockaddr_in, sin_port), &networkPort, sizeof networkPort);
            break;
        case AddressFamily::ipv6:
            std::memcpy(result.storage.data() + offsetof(sockaddr_in6, sin6_port), &networkPort, sizeof networkPort);
            break;
        case AddressFamily::unspecified: break;
    }
    return result;
}

Resolution resolveStream(const std::string& host, const std::string& service, const ResolveHints& hints) {
    win32::ensureWinsock();
    ADDRINFOW request{};
    request.ai_family = toNative(hints.family);
    request.ai_socktype = SOCK_STREAM;
    request.ai_protocol = hints.passive ? IPPROTO_TCP : 0;
    request.ai_flags = (hints.passive ? AI_PASSIVE : 0) | (hints.numericHost ? AI_NUMERICHOST : 0);

    Resolution resolution;
    const std::wstring wideHost = win32::toWide(host);
    const std::wstring wideService = win32::toWide(service);
    ADDRINFOW* list = nullptr;
    const int rc = ::GetAddrInfoW(host.empty() ? nullptr : wideHost.c_str(),
                                  service.empty() ? nullptr : wideService.c_str(), &request, &list);
    if (rc != 0) {
        resolution.error = rc;
        resolution.errorText = errorText(rc);
        return resolution;
    }
    for (const ADDRINFOW* entry = list; entry; entry = entry->ai_next) {
        AddressInfo info;
        info.address = fromSockaddr(entry->ai_addr, entry->ai_addrlen);
        info.family = fromNative(entry->ai_family);
        info.type = entry->ai_socktype;
        info.protocol = entry->ai_protocol;
        if (info.family != AddressFamily::unspecified) resolution.entries.push_back(info);
    }
    ::FreeAddrInfoW(list);
    return resolution;
}

NumericName numericName(const SocketAddress& address) {
    win32::ensureWinsock();
    NumericName name;
    wchar_t host[NI_MAXHOST] = {};
    wchar_t service[NI_MAXSERV] = {};
    const int rc = ::GetNameInfoW(native(address), static_cast<socklen_t>(address.length), host, NI_MAXHOST, service,
                                  NI_MAXSERV, NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        name.error = rc;
        name.errorText = errorText(rc);
        return name;
    }
    name.host = win32::fromWide(host);
    name.service = win32::fromWide(service);
    return name;
}

std::vector<std::string> localInterfaceAddresses() {
    win32::ensureWinsock();
    std::vector<std::string> addresses;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        rc = ::GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                    nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR) return addresses;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp) continue;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const SOCKET_ADDRESS& where = unicast->Address;
            const auto name = numericName(fromSockaddr(where.lpSockaddr, static_cast<std::size_t>(where.iSockaddrLength)));
            if (name.ok()) addresses.push_back(name.host);
        }
    }
    return addresses;
}

Result<Descriptor> openSocket(AddressFamily family, int type, int protocol) {
    win32::ensureWinsock();
    // Overlapped sockets (the default) are what select, WSAPoll and
    // non-blocking I/O take; not inherited by children.
    SOCKET socket = ::WSASocketW(toNative(family), type, protocol, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        socket = ::WSASocketW(toNative(family), type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (socket != INVALID_SOCKET) keepFromChildren(socket);
    }
    if (socket == INVALID_SOCKET) return lastSocketError();
    return Descriptor(fromSocket(socket));
}

namespace {

// Winsock cannot be asked whether a socket blocks; what was set is kept.
std::mutex blockingLock;
std::vector<int> nonBlockingSockets;

void rememberNonBlocking(int fd, bool on) {
    std::lock_guard<std::mutex> guard(blockingLock);
    auto at = std::find(nonBlockingSockets.begin(), nonBlockingSockets.end(), fd);
    if (on && at == nonBlockingSockets.end()) nonBlockingSockets.push_back(fd);
    if (!on && at != nonBlockingSockets.end()) nonBlockingSockets.erase(at);
}

}  // namespace

Error setNonBlocking(int fd, bool on) {
    u_long mode = on ? 1 : 0;
    if (::ioctlsocket(toSocket(fd), FIONBIO, &mode) != 0) return lastSocketError();
    rememberNonBlocking(fd, on);
    return Error();
}

Result<bool> isNonBlocking(int fd) {
    int type = 0;
    int length = sizeof type;
    if (::getsockopt(toSocket(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0)
        return lastSocketError();
    std::lock_guard<std::mutex> guard(blockingLock);
    return std::find(nonBlockingSockets.begin(), nonBlockingSockets.end(), fd) != nonBlockingSockets.end();
}

Error setIPv6Only(int fd, bool on) { return setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0); }

// SO_REUSEADDR on Windows lets a second socket take a port in active use;
// what POSIX means by it (binding past TIME_WAIT) is Windows' default, so
// the exclusive use is asked for instead.
Error setReuseAddress(int fd, bool on) { return setIntOption(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, on ? 1 : 0); }

Error setNoDelay(int fd, bool on) { return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

Error bindSocket(int fd, const SocketAddress& address) {
    if (::bind(toSocket(fd), native(address), static_cast<int>(address.length)) != 0) return lastSocketError();
    return Error();
}

Error listenSocket(int fd, int backlog) {
    if (::listen(toSocket(fd), backlog) != 0) return lastSocketError();
    return Error();
}

Result<SocketAddress> localAddress(int fd) {
    sockaddr_storage storage{};
    int length = sizeof storage;
    if (::getsockname(toSocket(fd), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return lastSocketError();
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), static_cast<std::size_t>(length));
}

Result<SocketAddress> peerAddress(int fd) {
    sockaddr_storage storage{};
    int length = sizeof storage;
    if (::getpeername(toSocket(fd), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return lastSocketError();
    return fromSockaddr(reinterpret_cast<const sockaddr*>(&storage), static_cast<std::size_t>(length));
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
        if (bytes.compare(0, 12, std::string(10, '\0') + "\xff\xff") == 0) return bytes.substr(12);
        return bytes;
    }
    return std::string();
}

Result<Accepted> acceptSocket(int fd) {
    sockaddr_storage storage{};
    int length = sizeof storage;
    const SOCKET accepted = ::accept(toSocket(fd), reinterpret_cast<sockaddr*>(&storage), &length);
    if (accepted == INVALID_SOCKET) return lastSocketError();
    Descriptor socket(fromSocket(accepted));
    keepFromChildren(accepted);
    if (Error e = setNonBlocking(socket.get(), true); !e.ok()) return e;
    return Accepted{std::move(socket), fromSockaddr(reinterpret_cast<const sockaddr*>(&storage),
                                                    static_cast<std::size_t>(length))};
}

Error connectSocket(int fd, const SocketAddress& address) {
    if (::connect(toSocket(fd), native(address), static_cast<int>(address.length)) == 0) return Error();
    const int error = ::WSAGetLastError();
    // A non-blocking connect reports "would block" on Windows.
    if (error == WSAEWOULDBLOCK) return Error(WSAEINPROGRESS);
    return Error(error);
}

Error pendingError(int fd) {
    int value = 0;
    int length = sizeof value;
    if (::getsockopt(toSocket(fd), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0)
        return lastSocketError();
    return Error(value);
}

namespace {

IoResult transferred(int done) {
    IoResult result;
    if (done == SOCKET_ERROR) {
        result.error = lastSocketError();
    } else {
        result.bytes = static_cast<std::size_t>(done);
    }
    return result;
}

// Winsock takes at most an int per call.
int clampLength(std::size_t length) { return length > 0x40000000 ? 0x40000000 : static_cast<int>(length); }

}  // namespace

IoResult sendSome(int fd, const void* data, std::size_t length) {
    return transferred(::send(toSocket(fd), static_cast<const char*>(data), clampLength(length), 0));
}

IoResult sendGather(int fd, const ConstBytes* pieces, std::size_t count) {
    constexpr std::size_t maxPieces = 64;
    WSABUF buffers[maxPieces];
    if (count > maxPieces) count = maxPieces;
    for (std::size_t i = 0; i < count; ++i) {
        buffers[i].buf = const_cast<char*>(static_cast<const char*>(pieces[i].data));
        buffers[i].len = static_cast<ULONG>(clampLength(pieces[i].length));
    }
    DWORD sent = 0;
    if (::WSASend(toSocket(fd), buffers, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0)
        return IoResult{0, lastSocketError()};
    return IoResult{static_cast<std::size_t>(sent), Error()};
}

// Windows has no "more to follow" flag for a send; Nagle's algorithm is
// what groups segments there.
IoResult sendGatherMore(int fd, const ConstBytes* pieces, std::size_t count) { return sendGather(fd, pieces, count); }

IoResult sendFileRange(int socket, int file, std::uint64_t offset, std::size_t count) {
    // TransmitFile blocks on a non-blocking socket's full buffer (or needs
    // overlapped I/O); a bounded read into the send path does not.
    struct ReadBuffer {
        std::vector<char> bytes = std::vector<char>(64 * 1024);
    };
    std::vector<char>& buffer = perThread<ReadBuffer>().bytes;
    if (count > buffer.size()) count = buffer.size();
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xffffffffu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(win32::toHandle(file), buffer.data(), static_cast<DWORD>(count), &got, &at)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_HANDLE_EOF) return IoResult{0, Error(static_cast<int>(error))};
        got = 0;
    }
    if (got == 0) return IoResult{};
    // Bytes read but not taken by the socket are read again next time.
    return sendSome(socket, buffer.data(), got);
}

IoResult receiveSome(int fd, void* data, std::size_t capacity) {
    const int done = ::recv(toSocket(fd), static_cast<char*>(data), clampLength(capacity), 0);
    // An aborted connection reads as an error; a graceful one as 0 bytes.
    return transferred(done);
}

Result<SocketPair> socketPair() {
    // No socketpair on Windows: a loopback listener that takes exactly one
    // connection from its own client.
    auto listener = openSocket(AddressFamily::ipv4, SOCK_STREAM, IPPROTO_TCP);
    if (!listener.ok()) return listener.error();
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SocketAddress address = fromSockaddr(reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback);
    const int listening = listener.value().get();
    setIntOption(listening, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
    if (Error e = bindSocket(listening, address); !e.ok()) return e;
    if (Error e = listenSocket(listening, 1); !e.ok()) return e;
    auto bound = localAddress(listening);
    if (!bound.ok()) return bound.error();
    auto client = openSocket(AddressFamily::ipv4, SOCK_STREAM, IPPROTO_TCP);
    if (!client.ok()) return client.error();
    if (Error e = connectSocket(client.value().get(), bound.value()); !e.ok()) return e;
    sockaddr_storage peer{};
    int length = sizeof peer;
    const SOCKET accepted = ::accept(toSocket(listening), reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted == INVALID_SOCKET) return lastSocketError();
    Descriptor server(fromSocket(accepted));
    keepFromChildren(accepted);
    // Only our own client may be the other end.
    auto clientName = localAddress(client.value().get());
    if (!clientName.ok() || clientName.value().port() !=
                                fromSockaddr(reinterpret_cast<const sockaddr*>(&peer), static_cast<std::size_t>(length)).port())
        return Error(WSAECONNREFUSED);
    setNoDelay(server.get(), true);
    setNoDelay(client.value().get(), true);
    return SocketPair{std::move(client.value()), std::move(server)};
}

Error shutdownSocket(int fd) {
    if (::shutdown(toSocket(fd), SD_BOTH) != 0) return lastSocketError();
    return Error();
}

Error shutdownSending(int fd) {
    if (::shutdown(toSocket(fd), SD_SEND) != 0) return lastSocketError();
    return Error();
}

Error setResetOnClose(int fd) {
    linger abort{};
    abort.l_onoff = 1;
    abort.l_linger = 0;
    if (::setsockopt(toSocket(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort) != 0)
        return lastSocketError();
    return Error();
}

}  // namespace platform
