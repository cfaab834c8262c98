#include "net/socket_ipvx.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/diagnostics.h"
#include "platform/poller.h"
#include "platform/socket.h"

namespace {

std::atomic<int> instances{0};

void errorLine(const std::string& text) { diagnostic(text); }

bool isWildcard(const std::string& address) {
    return address.empty() || address == "0.0.0.0" || address == "::";
}

int clampMs(std::chrono::milliseconds ms) {
    return ms.count() > 0x7fffffff ? 0x7fffffff : static_cast<int>(ms.count());
}

// Binds and listens on the first entry of family that takes it. chosenPort,
// when not 0, replaces the port of every entry (the other family's pick).
// failure keeps the first error met, when there is none yet.
platform::Descriptor listenOn(const platform::Resolution& resolution, platform::AddressFamily family,
                              bool wildcard, int chosenPort, int backlog, platform::Error& failure) {
    const auto keep = [&failure](platform::Error error) {
        if (failure.ok()) failure = error;
    };
    for (const auto& entry : resolution.entries) {
        if (entry.family != family) continue;
        auto opened = platform::openSocket(entry.family, entry.type, entry.protocol);
        if (!opened.ok()) {
            keep(opened.error());
            continue;
        }
        platform::Descriptor socket = std::move(opened.value());
        platform::setReuseAddress(socket.get(), true);
        if (wildcard && family == platform::AddressFamily::ipv6) {
            platform::setIPv6Only(socket.get(), false);
        }
        const auto address = chosenPort != 0 ? entry.address.withPort(chosenPort) : entry.address;
        if (const auto bound = platform::bindSocket(socket.get(), address); !bound.ok()) {
            keep(bound);
            continue;
        }
        // The first bound socket is the one; its listen decides the family.
        if (const auto listened = platform::listenSocket(socket.get(), backlog); !listened.ok()) {
            keep(listened);
            return {};
        }
        // Accept must never block the listener's loop.
        if (const auto unblocked = platform::setNonBlocking(socket.get(), true); !unblocked.ok()) {
            keep(unblocked);
            return {};
        }
        return socket;
    }
    return {};
}

std::string listenTarget(const std::string& address, int port) {
    return (address.empty() ? std::string("*") : address) + " port " + std::to_string(port);
}

int boundPort(int fd) {
    auto local = platform::localAddress(fd);
    return local.ok() ? local.value().port() : -1;
}

}  // namespace

KoSocketIPvx::KoSocketIPvx() : KoSocketIPvx(KoSocketSettings{}) {}

KoSocketIPvx::KoSocketIPvx(const KoSocketSettings& settings) : settings_(settings) {
    platform::acquireSocketLibrary();
    instances.fetch_add(1);
}

KoSocketIPvx::~KoSocketIPvx() {
    for (platform::Descriptor* socket : {&fd_, &fd4_}) {
        if (socket->valid()) {
            // An orderly shutdown would tell the peer all was said.
            if (!resetOnClose_) platform::shutdownSocket(socket->get());
            socket->reset();
        }
    }
    instances.fetch_sub(1);
    platform::releaseSocketLibrary();
}

int KoSocketIPvx::instanceCount() { return instances.load(); }

void KoSocketIPvx::ResetOnClose() {
    if (fd_.valid() && platform::setResetOnClose(fd_.get()).ok()) resetOnClose_ = true;
}

int KoSocketIPvx::Send(const char* buffer, std::size_t length, std::size_t& sent) {
    if (!fd_.valid()) {
        errorLine("no socket");
        sent = 0;
        return statusShortSend;
    }
    const auto result = platform::sendSome(fd_.get(), buffer, length);
    sent = result.bytes;
    return sent == length ? statusOk : statusShortSend;
}

int KoSocketIPvx::Receive(char* buffer, std::size_t capacity, std::size_t& received) {
    received = 0;
    // recv into no room gives 0, which would read as the peer closing.
    if (capacity == 0) return statusOk;
    const auto result = platform::receiveSome(fd_.get(), buffer, capacity);
    if (!result.error.ok()) {
        if (!result.error.wouldBlock()) {
            errorLine("KoSocketIPvx::Receive(): error in read (errno=" + std::to_string(result.error.code()) +
                      ") " + result.error.text());
            lastError_.store(result.error.code());
        }
        return statusOk;
    }
    received = result.bytes;
    if (received == 0) closed_.store(true);
    return statusOk;
}

int KoSocketIPvx::ReceiveIfReady(char* buffer, std::size_t capacity, std::size_t& received) {
    received = 0;
    if (WaitReadable(clampMs(settings_.receiveIfReadyWait), fd_.get()) && ready()) {
        return Receive(buffer, capacity, received);
    }
    return statusOk;
}

KoHostInfo_t KoSocketIPvx::peerName() const {
    if (!named_ || !fd_.valid()) return {};
    const auto address = platform::peerAddress(fd_.get());
    if (!address.ok()) return {};
    auto name = platform::numericName(address.value());
    if (!name.ok()) return {};
    return {std::move(name.host), std::move(name.service)};
}

std::string KoSocketIPvx::HostName() const { return peerName().address; }

std::string KoSocketIPvx::ServiceName() const { return peerName().port; }

bool KoSocketIPvx::WaitReadable(int ms, int descriptor) {
    ready_.store(false);
    if (descriptor < 0) return false;
    const auto result = platform::waitDescriptor(descriptor, platform::readable, ms);
    // A failed wait counts as ready, so that the next read reports the error.
    const bool isReady = !result.ok() || result.value() != 0;
    ready_.store(isReady);
    return isReady;
}

const std::string& KoSocketIPvx::listenFailure() const {
    static const std::string none;
    return listenFailure_ ? *listenFailure_ : none;
}

int KoSocketIPvx::Listen(const std::string& address, int& port, int backlog) {
    fd_.reset();
    fd4_.reset();
    listening_ = false;
    listenFailure_.reset();

    const bool wildcard = isWildcard(address);
    platform::ResolveHints hints;
    hints.passive = true;
    const auto resolution = platform::resolveStream(wildcard ? std::string() : address, std::to_string(port), hints);
    if (!resolution.ok()) {
        listenFailure_ = std::make_unique<std::string>("getaddrinfo: " + resolution.errorText);
        errorLine(*listenFailure_ + " (" + listenTarget(address, port) + ")");
        return statusListenFailed;
    }

    platform::Error failure;
    int chosen = port;
    fd_ = listenOn(resolution, platform::AddressFamily::ipv6, wildcard, chosen, backlog, failure);
    if (fd_.valid()) chosen = boundPort(fd_.get());
    // A dual-stack IPv6 socket already holds the IPv4 side of the port, and
    // the IPv4 bind then fails quietly.
    fd4_ = listenOn(resolution, platform::AddressFamily::ipv4, wildcard, fd_.valid() ? chosen : port, backlog,
                    failure);
    if (!fd_.valid() && fd4_.valid()) chosen = boundPort(fd4_.get());

    if (!fd_.valid() && !fd4_.valid()) {
        listenFailure_ = std::make_unique<std::string>(failure.ok() ? std::string("no address to listen on")
                                                                    : failure.text());
        errorLine("Could not bind " + listenTarget(address, port) + ": " + *listenFailure_);
        return statusListenFailed;
    }
    port_ = chosen;
    port = chosen;
    listening_ = true;
    return statusOk;
}

int KoSocketIPvx::Accept(KoSocketIPvx& connection, int waitMs, const KoHostFilter& filter) {
    if (!filter) throw std::bad_function_call();

    ready_.store(false);
    if (!fd_.valid() && !fd4_.valid()) return -1;
    // IPv6 first; the IPv4 socket when that gave nobody to keep.
    const auto acceptEither = [&](bool six, bool four) {
        int result = nobodyWaiting;
        if (six && fd_.valid()) result = acceptFrom(fd_.get(), connection, filter);
        if (result < 0 && four && fd4_.valid()) {
            const int second = acceptFrom(fd4_.get(), connection, filter);
            if (second != nobodyWaiting || result == nobodyWaiting) result = second;
        }
        return result;
    };
    // A peer already waiting is taken without a readiness wait.
    int result = acceptEither(true, true);
    if (result == nobodyWaiting) {
        // poll, not a Poller: an accept must work when no descriptor is left
        // for a wait set of its own.
        const int listeners[2] = {fd_.get(), fd4_.get()};
        unsigned readiness[2] = {0, 0};
        const auto waited = platform::waitDescriptors(listeners, readiness, 2, platform::readable, waitMs);
        if (!waited.ok() || waited.value() == 0) return -1;
        result = acceptEither(readiness[0] != 0, readiness[1] != 0);
    }
    ready_.store(true);
    return result < 0 ? -1 : result;
}

int KoSocketIPvx::AcceptWaiting(int listener, KoSocketIPvx& connection, const KoHostFilter& filter,
                                platform::Error* failure, KoHostInfo_t* named) {
    if (!filter) throw std::bad_function_call();
    return acceptFrom(listener, connection, filter, failure, named);
}

int KoSocketIPvx::acceptFrom(int listener, KoSocketIPvx& connection, const KoHostFilter& filter,
                             platform::Error* failure, KoHostInfo_t* named) {
    auto accepted = platform::acceptSocket(listener);
    // The peer may have gone between the wait and the accept.
    if (!accepted.ok()) {
        if (accepted.error().wouldBlock()) return nobodyWaiting;
        if (failure != nullptr) *failure = accepted.error();
        return -1;
    }

    const auto name = platform::numericName(accepted.value().peer);
    if (!name.ok()) return -1;  // the socket closes with accepted

    connection.fd_ = std::move(accepted.value().socket);
    connection.named_ = true;
    connection.closed_.store(false);

    KoHostInfo_t peer{name.host, name.service};
    if (!filter(peer)) {
        connection.fd_.reset();
        connection.closed_.store(true);
        return -1;
    }
    if (named != nullptr) *named = std::move(peer);
    return connection.fd_.get();
}

int KoSocketIPvx::Connect(const std::string& host, int port) {
    fd_.reset();
    const auto resolution = platform::resolveStream(host, std::to_string(port), platform::ResolveHints{});
    if (!resolution.ok()) {
        errorLine("getaddrinfo: " + resolution.errorText);
        return statusConnectFailed;
    }

    int lastTried = -1;
    for (const auto& entry : resolution.entries) {
        auto opened = platform::openSocket(entry.family, entry.type, entry.protocol);
        if (!opened.ok()) continue;
        platform::Descriptor socket = std::move(opened.value());
        lastTried = socket.get();
        if (!platform::setNonBlocking(socket.get(), true).ok()) continue;

        auto error = platform::connectSocket(socket.get(), entry.address);
        if (error.inProgress()) {
            const auto waited =
                platform::waitDescriptor(socket.get(), platform::writable, clampMs(settings_.connectTimeout));
            if (!waited.ok()) continue;
            if (waited.value() == 0) continue;  // no answer in time
            error = platform::pendingError(socket.get());
        }
        if (!error.ok()) continue;

        fd_ = std::move(socket);
        closed_.store(false);
        return statusOk;
    }
    errorLine("Could not connect, fd: " + std::to_string(lastTried));
    return statusConnectFailed;
}
