// Platform: BSD stream sockets and name resolution.
//
// Thin wrappers that keep sockaddr/addrinfo out of the callers. Every new
// descriptor is close-on-exec (child processes must not inherit sockets);
// accepted ones are also non-blocking. Sends never raise SIGPIPE: a peer that
// went away gives an Error instead. Any thread may call these; a descriptor
// is shared only as the caller arranges.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

// The socket library's start-up and clean-up, counted across the process:
// the first acquire starts Windows Sockets (WSAStartup), the last release
// cleans it up (WSACleanup). Nothing to do on POSIX. Socket endpoints hold
// one each; the platform's own sockets keep Winsock started on their own.
void acquireSocketLibrary();
void releaseSocketLibrary();

enum class AddressFamily { unspecified, ipv4, ipv6 };

// A socket address of either family (large enough for sockaddr_storage).
struct SocketAddress {
    std::array<unsigned char, 128> storage{};
    std::uint32_t length = 0;

    AddressFamily family() const;
    // The port in host order, 0 for an unknown family.
    int port() const;
    // The same address with another port.
    SocketAddress withPort(int port) const;
};

// One result of a resolution: where and how to open a socket.
struct AddressInfo {
    SocketAddress address;
    AddressFamily family = AddressFamily::unspecified;
    int type = 0;
    int protocol = 0;
};

struct ResolveHints {
    bool passive = false;      // addresses to bind, wildcard without a host
    bool numericHost = false;  // the host must be a literal, no lookup
    AddressFamily family = AddressFamily::unspecified;
};

// What getaddrinfo gave: entries in its order, or its error text.
struct Resolution {
    std::vector<AddressInfo> entries;
    int error = 0;          // getaddrinfo's code, 0 for success
    std::string errorText;  // gai_strerror of it

    bool ok() const { return error == 0; }
};

// Resolves host (empty: no node name) and service for TCP.
Resolution resolveStream(const std::string& host, const std::string& service,
                         const ResolveHints& hints);

// A numeric address and port for one socket address (getnameinfo).
struct NumericName {
    std::string host;
    std::string service;
    int error = 0;
    std::string errorText;

    bool ok() const { return error == 0; }
};
NumericName numericName(const SocketAddress& address);

// The numeric addresses of the machine's interfaces that are up.
std::vector<std::string> localInterfaceAddresses();

Result<Descriptor> openSocket(AddressFamily family, int type, int protocol);

Error setNonBlocking(int fd, bool on);
Result<bool> isNonBlocking(int fd);
// IPv6 only: false lets the socket take IPv4 peers as well.
Error setIPv6Only(int fd, bool on);
// Lets a restarted server bind while old connections linger in TIME_WAIT.
Error setReuseAddress(int fd, bool on);
Error setNoDelay(int fd, bool on);

Error bindSocket(int fd, const SocketAddress& address);
Error listenSocket(int fd, int backlog);
Result<SocketAddress> localAddress(int fd);
Result<SocketAddress> peerAddress(int fd);
// The IP address's bytes, an IPv4-mapped IPv6 address as its IPv4 four;
// empty for another family.
std::string hostBytes(const SocketAddress& address);
// Whether a connection between these two addresses stays on this machine:
// the peer is a loopback address or the socket's own (an IPv4 address seen
// through IPv6 counts as itself).
bool onThisHost(const SocketAddress& peer, const SocketAddress& local);
// Whether the connected socket's peer is on this machine; false when
// either address cannot be had.
bool peerOnThisHost(int fd);

struct Accepted {
    Descriptor socket;  // non-blocking, close-on-exec
    SocketAddress peer;
};
// Never blocks on a non-blocking listener: wouldBlock() when nobody waits.
Result<Accepted> acceptSocket(int fd);

// On a non-blocking socket, inProgress() means: wait until writable, then
// ask pendingError().
Error connectSocket(int fd, const SocketAddress& address);
// The socket's pending error (SO_ERROR), cleared by reading it.
Error pendingError(int fd);

struct IoResult {
    std::size_t bytes = 0;
    Error error;
};
// One send; a closed peer gives an Error, never a signal.
IoResult sendSome(int fd, const void* data, std::size_t length);
// One send of several pieces in order (as one write where the socket takes
// them all); a closed peer gives an Error, never a signal.
struct ConstBytes {
    const void* data;
    std::size_t length;
};
IoResult sendGather(int fd, const ConstBytes* pieces, std::size_t count);
// The same with more to follow at once: the kernel may hold the bytes back
// briefly to send them in one segment with what comes next.
IoResult sendGatherMore(int fd, const ConstBytes* pieces, std::size_t count);
// Sends up to count bytes of an open file from offset, without copying them
// through this process; a closed peer gives an Error, never a signal.
IoResult sendFileRange(int socket, int file, std::uint64_t offset, std::size_t count);
// One receive; bytes == 0 with no error means the peer closed.
IoResult receiveSome(int fd, void* data, std::size_t capacity);

// Two connected local stream sockets (blocking, close-on-exec).
struct SocketPair {
    Descriptor first;
    Descriptor second;
};
Result<SocketPair> socketPair();

// Shuts down both directions.
Error shutdownSocket(int fd);
// Tells the peer that nothing more will be sent (the peer reads the end of
// the stream); receiving goes on.
Error shutdownSending(int fd);
// Closing the socket will reset the connection (the peer sees an abort, not
// an orderly end of stream); what is unsent is dropped.
Error setResetOnClose(int fd);

}  // namespace platform
