// Benchmark client for WebSocket echo servers. Each of N connections opens
// a WebSocket (the RFC 6455 handshake, no extensions), then sends a masked
// text message of SIZE bytes and waits for it to come back, over and over,
// until the time is up: one message in flight per connection, as a panel's
// request and reply would be. An echo that differs from what was sent
// counts as an error.
//
// It prints wrk's summary lines (a message round trip is a "request") so
// that the benchmark's parser reads it like wrk. With --hold it only opens
// the connections, prints "open N" once they all stand, and keeps them idle
// for the time given (the idle-memory row). Loopback only; one thread; a
// load tool, not part of the server.
//
//   websocket_client [-c CONNECTIONS] [-d SECONDS] [-s SIZE] [--hold] ws://HOST:PORT/PATH
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int connections = 50;
    double seconds = 10;
    std::size_t size = 64;
    bool hold = false;
    std::string host = "127.0.0.1";
    std::string port = "80";
    std::string path = "/";
};

enum class Phase { handshake, waiting, broken };

struct Slot {
    int fd = -1;
    Phase phase = Phase::handshake;
    std::string in;
    std::string out;
    std::size_t outSent = 0;
    Clock::time_point sentAt{};
};

struct Counts {
    unsigned long long connect = 0, read = 0, write = 0, mismatch = 0;
};

// A masked text frame of payload (the mask is fixed: the server must unmask
// whatever it is).
std::string Frame(const std::string& payload) {
    std::string frame;
    frame.push_back(static_cast<char>(0x81));
    const std::size_t n = payload.size();
    if (n < 126) {
        frame.push_back(static_cast<char>(0x80 | n));
    } else if (n < 65536) {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>(n >> 8));
        frame.push_back(static_cast<char>(n & 0xff));
    } else {
        frame.push_back(static_cast<char>(0x80 | 127));
        for (int shift = 56; shift >= 0; shift -= 8) frame.push_back(static_cast<char>((n >> shift) & 0xff));
    }
    const unsigned char mask[4] = {0x37, 0xfa, 0x21, 0x3d};
    frame.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t i = 0; i < n; ++i) frame.push_back(static_cast<char>(payload[i] ^ mask[i % 4]));
    return frame;
}

// The payload of the first whole unmasked frame in bytes, which it drops; false
// while it is not whole yet.
bool TakeFrame(std::string& bytes, std::string& payload, bool& bad) {
    if (bytes.size() < 2) return false;
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    const auto b1 = static_cast<unsigned char>(bytes[1]);
    std::size_t at = 2;
    std::uint64_t n = b1 & 0x7f;
    if (n == 126) {
        if (bytes.size() < 4) return false;
        n = (static_cast<unsigned char>(bytes[2]) << 8) | static_cast<unsigned char>(bytes[3]);
        at = 4;
    } else if (n == 127) {
        if (bytes.size() < 10) return false;
        n = 0;
        for (int i = 0; i < 8; ++i) n = (n << 8) | static_cast<unsigned char>(bytes[2 + i]);
        at = 10;
    }
    if ((b1 & 0x80) != 0 || (b0 & 0x0f) != 0x1 || (b0 & 0x80) == 0) bad = true;
    if (bytes.size() < at + n) return false;
    payload.assign(bytes, at, n);
    bytes.erase(0, at + n);
    return true;
}

bool IsLoopback(const addrinfo* address) {
    if (address->ai_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address->ai_addr);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->ai_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address->ai_addr);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

bool ParseUrl(const std::string& url, Options& options) {
    const std::string scheme = "ws://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = url.substr(scheme.size());
    const auto slash = rest.find('/');
    options.path = slash == std::string::npos ? "/" : rest.substr(slash);
    rest = rest.substr(0, slash);
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos) return false;
    options.host = rest.substr(0, colon);
    options.port = rest.substr(colon + 1);
    return true;
}

bool SendPending(Slot& slot, Counts& errors) {
    while (slot.outSent < slot.out.size()) {
        const ssize_t n = ::send(slot.fd, slot.out.data() + slot.outSent, slot.out.size() - slot.outSent, MSG_NOSIGNAL);
        if (n > 0) {
            slot.outSent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        ++errors.write;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool urlSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-c" && i + 1 < argc) {
            options.connections = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "-d" && i + 1 < argc) {
            options.seconds = std::atof(argv[++i]);
        } else if (arg == "-s" && i + 1 < argc) {
            options.size = static_cast<std::size_t>(std::atoll(argv[++i]));
        } else if (arg == "--hold") {
            options.hold = true;
        } else if (ParseUrl(arg, options)) {
            urlSeen = true;
        } else {
            std::fprintf(stderr,
                         "usage: websocket_client [-c CONNECTIONS] [-d SECONDS] [-s SIZE] [--hold] ws://HOST:PORT/PATH\n");
            return 2;
        }
    }
    if (!urlSeen) return std::fprintf(stderr, "websocket_client: no URL\n"), 2;

    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* address = nullptr;
    if (::getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &address) != 0 || address == nullptr)
        return std::fprintf(stderr, "websocket_client: cannot resolve %s\n", options.host.c_str()), 1;
    if (!IsLoopback(address)) return std::fprintf(stderr, "websocket_client: loopback only\n"), 1;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return std::fprintf(stderr, "websocket_client: no epoll\n"), 1;

    std::string payload(options.size, 'x');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    const std::string frame = Frame(payload);
    const std::string handshake = "GET " + options.path + " HTTP/1.1\r\nHost: " + options.host + ":" + options.port +
                                  "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                                  "Origin: http://" + options.host + ":" + options.port + "\r\n\r\n";

    Counts errors;
    std::vector<Slot> slots(static_cast<std::size_t>(options.connections));
    for (std::size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = slots[i];
        slot.fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(slot.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (slot.fd < 0 || ::connect(slot.fd, address->ai_addr, address->ai_addrlen) != 0) {
            ++errors.connect;
            slot.phase = Phase::broken;
            continue;
        }
        ::fcntl(slot.fd, F_SETFL, O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, slot.fd, &event);
        slot.out = handshake;
        SendPending(slot, errors);
    }
    ::freeaddrinfo(address);

    const auto start = Clock::now();
    const auto until = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    std::vector<double> latencies;
    unsigned long long bytesRead = 0;
    std::size_t open = 0;
    bool announced = false;
    std::vector<epoll_event> events(256);
    char buffer[65536];
    while (Clock::now() < until) {
        if (options.hold && !announced && open + errors.connect + errors.read == slots.size()) {
            std::printf("open %zu\n", open);
            std::fflush(stdout);
            announced = true;
        }
        const int ready = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; e < ready; ++e) {
            Slot& slot = slots[events[e].data.u64];
            if (slot.phase == Phase::broken) continue;
            bool closed = false;
            for (;;) {
                const ssize_t n = ::recv(slot.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    slot.in.append(buffer, static_cast<std::size_t>(n));
                    bytesRead += static_cast<unsigned long long>(n);
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed = true;
                break;
            }
            if (slot.phase == Phase::handshake) {
                const auto end = slot.in.find("\r\n\r\n");
                if (end != std::string::npos) {
                    if (slot.in.compare(0, 12, "HTTP/1.1 101") != 0) {
                        ++errors.mismatch;
                        slot.phase = Phase::broken;
                        continue;
                    }
                    slot.in.erase(0, end + 4);
                    slot.phase = Phase::waiting;
                    ++open;
                    if (!options.hold) {
                        slot.out = frame;
                        slot.outSent = 0;
                        slot.sentAt = Clock::now();
                        SendPending(slot, errors);
                    }
                }
            }
            std::string echoed;
            bool bad = false;
            while (slot.phase == Phase::waiting && TakeFrame(slot.in, echoed, bad)) {
                const auto now = Clock::now();
                if (bad || echoed != payload) ++errors.mismatch;
                latencies.push_back(std::chrono::duration<double, std::micro>(now - slot.sentAt).count());
                slot.out = frame;
                slot.outSent = 0;
                slot.sentAt = now;
                if (now < until && !SendPending(slot, errors)) slot.phase = Phase::broken;
            }
            if (closed && slot.phase != Phase::broken) {
                ++errors.read;
                slot.phase = Phase::broken;
                ::epoll_ctl(epoll, EPOLL_CTL_DEL, slot.fd, nullptr);
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (Slot& slot : slots)
        if (slot.fd >= 0) ::close(slot.fd);
    ::close(epoll);

    if (options.hold) {
        std::printf("held %zu for %.2fs\n", open, elapsed);
        return open == slots.size() ? 0 : 1;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        const auto at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(latencies.size() - 1));
        return latencies[at];
    };
    const auto duration = [](double us) {
        char text[32];
        if (us < 1000) std::snprintf(text, sizeof text, "%.2fus", us);
        else if (us < 1e6) std::snprintf(text, sizeof text, "%.2fms", us / 1e3);
        else std::snprintf(text, sizeof text, "%.2fs", us / 1e6);
        return std::string(text);
    };
    const double mib = static_cast<double>(bytesRead) / (1024.0 * 1024.0);
    std::printf("Running %.0fs test @ ws://%s:%s%s\n", options.seconds, options.host.c_str(), options.port.c_str(),
                options.path.c_str());
    std::printf("  1 threads and %d connections, %zu-byte messages\n", options.connections, options.size);
    std::printf("  Latency Distribution\n");
    for (const double p : {50.0, 75.0, 90.0, 99.0}) std::printf("     %.0f%%  %s\n", p, duration(percentile(p)).c_str());
    std::printf("  %zu requests in %.2fs, %.2fMB read\n", latencies.size(), elapsed, mib);
    if (errors.connect + errors.read + errors.write != 0)
        std::printf("  Socket errors: connect %llu, read %llu, write %llu, timeout 0\n", errors.connect, errors.read,
                    errors.write);
    if (errors.mismatch != 0) std::printf("  Non-2xx or 3xx responses: %llu\n", errors.mismatch);
    std::printf("Requests/sec: %10.2f\n", static_cast<double>(latencies.size()) / elapsed);
    std::printf("Transfer/sec: %10.2fMB\n", mib / elapsed);
    return 0;
}
