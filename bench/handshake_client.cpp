// Benchmark client for HTTPS with a new connection per request. Each of N
// slots connects, completes a TLS handshake, sends one GET with
// "Connection: close", reads the answer to its end, closes and starts over,
// until the time is up. wrk keeps each connection's TLS session and offers
// it again on reconnect, so its "Connection: close" runs measure resumed
// handshakes; this client makes a full handshake every time, or with
// --resume offers each slot's previous session the way wrk does, and counts
// how many handshakes the server actually resumed.
//
// It prints wrk's summary lines (requests, Requests/sec, Transfer/sec, the
// latency distribution, socket errors, non-2xx answers) so that one parser
// reads both, plus "Resumed: R of H handshakes". Latency runs from connect
// to the answer's last byte, so it includes the handshake. Loopback only;
// one thread; a load tool like wrk, not part of the server.
//
//   handshake_client [--resume] [-c CONNECTIONS] [-d SECONDS] [--timeout SECONDS] https://HOST:PORT/PATH
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    bool resume = false;
    int connections = 50;
    double seconds = 10;
    double timeout = 10;
    std::string host;
    std::string port;
    std::string path = "/";
};

// Errors counted the way wrk names them.
struct Errors {
    std::uint64_t connect = 0, read = 0, write = 0, timeout = 0, status = 0;
};

// What the answer's header says once it is complete.
struct AnswerHead {
    int status = 0;
    std::optional<std::uint64_t> length;
    std::size_t headerBytes = 0;
};

// Parses a complete header block; nullopt while it is incomplete.
std::optional<AnswerHead> ParseHead(std::string_view data) {
    const auto end = data.find("\r\n\r\n");
    if (end == std::string_view::npos) return std::nullopt;
    AnswerHead head;
    head.headerBytes = end + 4;
    const std::string_view block = data.substr(0, end);
    if (block.size() > 12 && block.substr(0, 5) == "HTTP/") head.status = std::atoi(std::string(block.substr(9, 3)).c_str());
    for (std::size_t at = block.find("\r\n"); at != std::string_view::npos;) {
        const std::size_t next = block.find("\r\n", at + 2);
        const std::string_view line = block.substr(at + 2, next == std::string_view::npos ? next : next - at - 2);
        constexpr std::string_view kLength = "content-length:";
        if (line.size() > kLength.size() &&
            std::equal(kLength.begin(), kLength.end(), line.begin(),
                       [](char a, char b) { return a == (b | 0x20); })) {
            head.length = std::strtoull(std::string(line.substr(kLength.size())).c_str(), nullptr, 10);
        }
        at = next;
    }
    return head;
}

class Slot;

class Client {
public:
    explicit Client(const Options& options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    int run();

    const Options& options;
    SSL_CTX* ctx = nullptr;
    int epoll = -1;
    addrinfo* address = nullptr;
    std::string request;
    Errors errors;
    std::uint64_t handshakes = 0, resumed = 0, bytes = 0;
    std::vector<std::uint32_t> latencies;  // microseconds
    bool counting = true;
};

// One connection at a time: connect, handshake, request, answer, close.
class Slot {
public:
    explicit Slot(Client& client) : client_(client) {}
    ~Slot() {
        close();
        if (session_) SSL_SESSION_free(session_);
    }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    // Opens the next connection. One that fails at once leaves the slot idle
    // until the main loop's next sweep, so a refusing server is not spun on.
    void start() {
        close();
        started_ = Clock::now();
        received_.clear();
        head_.reset();
        sent_ = 0;
        fd_ = ::socket(client_.address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        if (fd_ >= 0) ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (fd_ < 0 ||
            (::connect(fd_, client_.address->ai_addr, client_.address->ai_addrlen) != 0 && errno != EINPROGRESS)) {
            if (client_.counting) ++client_.errors.connect;
            return close();
        }
        ssl_ = SSL_new(client_.ctx);
        SSL_set_fd(ssl_, fd_);
        SSL_set_connect_state(ssl_);
        if (client_.options.resume && session_) SSL_set_session(ssl_, session_);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLET;
        event.data.ptr = this;
        ::epoll_ctl(client_.epoll, EPOLL_CTL_ADD, fd_, &event);
        state_ = State::handshake;
    }

    // Runs the connection as far as it can go without waiting.
    void drive() {
        for (;;) {
            switch (state_) {
                case State::idle:
                    return;
                case State::handshake: {
                    const int r = SSL_do_handshake(ssl_);
                    if (r != 1) {
                        if (wouldBlock(r)) return;
                        return fail(client_.errors.connect);
                    }
                    if (client_.counting) {
                        ++client_.handshakes;
                        if (SSL_session_reused(ssl_)) ++client_.resumed;
                    }
                    state_ = State::write;
                    break;
                }
                case State::write: {
                    const std::string& request = client_.request;
                    const int r = SSL_write(ssl_, request.data() + sent_, static_cast<int>(request.size() - sent_));
                    if (r <= 0) {
                        if (wouldBlock(r)) return;
                        return fail(client_.errors.write);
                    }
                    sent_ += static_cast<std::size_t>(r);
                    if (sent_ == request.size()) state_ = State::read;
                    break;
                }
                case State::read: {
                    char buffer[16384];
                    const int r = SSL_read(ssl_, buffer, sizeof buffer);
                    if (r <= 0) {
                        if (wouldBlock(r)) return;
                        // The end of the stream ends an answer without a length.
                        if (head_ && !head_->length) return finish();
                        return fail(client_.errors.read);
                    }
                    if (client_.counting) client_.bytes += static_cast<std::uint64_t>(r);
                    if (!head_) {
                        // Only the header is kept; the body is counted.
                        received_.append(buffer, static_cast<std::size_t>(r));
                        head_ = ParseHead(received_);
                        if (!head_) break;
                        bodyRead_ = received_.size() - head_->headerBytes;
                    } else {
                        bodyRead_ += static_cast<std::uint64_t>(r);
                    }
                    if (head_->length && bodyRead_ >= *head_->length) return finish();
                    break;
                }
            }
        }
    }

    // Called every sweep: restarts an idle slot, ends one past its time.
    void sweep(Clock::time_point now) {
        if (state_ == State::idle) start();
        else if (now - started_ > std::chrono::duration<double>(client_.options.timeout)) fail(client_.errors.timeout);
        drive();
    }

private:
    enum class State { idle, handshake, write, read };

    bool wouldBlock(int r) const {
        const int e = SSL_get_error(ssl_, r);
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
    }

    void finish() {
        if (client_.counting) {
            const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_).count();
            client_.latencies.push_back(static_cast<std::uint32_t>(std::min<long long>(us, UINT32_MAX)));
            if (head_->status < 200 || head_->status > 399) ++client_.errors.status;
        }
        if (client_.options.resume) {
            // Taken after the answer: TLS 1.3 tickets arrive after the handshake.
            if (session_) SSL_SESSION_free(session_);
            session_ = SSL_get1_session(ssl_);
        }
        SSL_shutdown(ssl_);  // close_notify, as wrk sends it; no wait for the peer's
        start();
    }

    void fail(std::uint64_t& counter) {
        if (client_.counting) ++counter;
        ERR_clear_error();
        start();
    }

    void close() {
        if (ssl_) SSL_free(ssl_);
        ssl_ = nullptr;
        if (fd_ >= 0) ::close(fd_);  // also leaves the epoll set
        fd_ = -1;
        state_ = State::idle;
    }

    Client& client_;
    int fd_ = -1;
    SSL* ssl_ = nullptr;
    SSL_SESSION* session_ = nullptr;
    State state_ = State::idle;
    Clock::time_point started_;
    std::size_t sent_ = 0;
    std::string received_;
    std::optional<AnswerHead> head_;
    std::uint64_t bodyRead_ = 0;
};

Client::Client(const Options& o) : options(o) {
    ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // the bench's self-signed certificate
    // No client-side cache: a session is only offered when a slot keeps it.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    epoll = ::epoll_create1(EPOLL_CLOEXEC);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    if (::getaddrinfo(o.host.c_str(), o.port.c_str(), &hints, &address) != 0) address = nullptr;
    request = "GET " + o.path + " HTTP/1.1\r\nHost: " + o.host + ":" + o.port + "\r\nConnection: close\r\n\r\n";
}

Client::~Client() {
    if (address) ::freeaddrinfo(address);
    if (epoll >= 0) ::close(epoll);
    if (ctx) SSL_CTX_free(ctx);
}

bool IsLoopback(const addrinfo* a) {
    if (a->ai_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr) >> 24) == 127;
    if (a->ai_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr);
    return false;
}

// wrk's way of writing a time: the largest unit that keeps it at least 1.
std::string Duration(double us) {
    char text[32];
    if (us < 1000) std::snprintf(text, sizeof text, "%.2fus", us);
    else if (us < 1e6) std::snprintf(text, sizeof text, "%.2fms", us / 1e3);
    else std::snprintf(text, sizeof text, "%.2fs", us / 1e6);
    return text;
}

int Client::run() {
    if (!ctx || epoll < 0) return std::fprintf(stderr, "handshake_client: cannot set up TLS\n"), 1;
    if (!address) return std::fprintf(stderr, "handshake_client: cannot resolve %s\n", options.host.c_str()), 1;
    if (!IsLoopback(address)) return std::fprintf(stderr, "handshake_client: loopback only\n"), 1;

    std::vector<std::unique_ptr<Slot>> slots;
    for (int i = 0; i < options.connections; ++i) slots.push_back(std::make_unique<Slot>(*this));
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds));
    for (auto& slot : slots) {
        slot->start();
        slot->drive();
    }
    std::vector<epoll_event> events(static_cast<std::size_t>(options.connections));
    auto lastSweep = begin;
    for (auto now = begin; now < end; now = Clock::now()) {
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int i = 0; i < n; ++i) static_cast<Slot*>(events[static_cast<std::size_t>(i)].data.ptr)->drive();
        if (now - lastSweep > std::chrono::milliseconds(100)) {
            lastSweep = now;
            for (auto& slot : slots) slot->sweep(now);
        }
    }
    counting = false;  // answers still in flight are not counted, as in wrk
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    slots.clear();

    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
        if (latencies.empty()) return 0.0;
        const auto at = static_cast<std::size_t>(p / 100 * static_cast<double>(latencies.size() - 1) + 0.5);
        return static_cast<double>(latencies[std::min(at, latencies.size() - 1)]);
    };
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    std::printf("Running %.0fs test @ https://%s:%s%s\n", options.seconds, options.host.c_str(), options.port.c_str(),
                options.path.c_str());
    std::printf("  1 threads and %d connections, %s handshakes\n", options.connections,
                options.resume ? "resumed" : "full");
    std::printf("  Latency Distribution\n");
    for (const double p : {50.0, 75.0, 90.0, 99.0}) std::printf("     %.0f%%  %s\n", p, Duration(percentile(p)).c_str());
    std::printf("  %zu requests in %.2fs, %.2fMB read\n", latencies.size(), elapsed, mib);
    if (errors.connect + errors.read + errors.write + errors.timeout > 0)
        std::printf("  Socket errors: connect %llu, read %llu, write %llu, timeout %llu\n",
                    static_cast<unsigned long long>(errors.connect), static_cast<unsigned long long>(errors.read),
                    static_cast<unsigned long long>(errors.write), static_cast<unsigned long long>(errors.timeout));
    if (errors.status > 0)
        std::printf("  Non-2xx or 3xx responses: %llu\n", static_cast<unsigned long long>(errors.status));
    std::printf("Requests/sec: %10.2f\n", static_cast<double>(latencies.size()) / elapsed);
    std::printf("Transfer/sec: %10.2fMB\n", mib / elapsed);
    std::printf("Resumed: %llu of %llu handshakes\n", static_cast<unsigned long long>(resumed),
                static_cast<unsigned long long>(handshakes));
    return 0;
}

// Splits https://HOST:PORT/PATH; false when it is not that shape.
bool ParseUrl(std::string_view url, Options& o) {
    constexpr std::string_view kScheme = "https://";
    if (url.substr(0, kScheme.size()) != kScheme) return false;
    url.remove_prefix(kScheme.size());
    const auto slash = url.find('/');
    const std::string_view authority = url.substr(0, slash);
    o.path = slash == std::string_view::npos ? "/" : std::string(url.substr(slash));
    const auto colon = authority.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view host = authority.substr(0, colon);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    o.host = host;
    o.port = authority.substr(colon + 1);
    return !o.host.empty() && !o.port.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool urlSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--resume") options.resume = true;
        else if (arg == "-c" && hasValue) options.connections = std::max(1, std::atoi(argv[++i]));
        else if (arg == "-d" && hasValue) options.seconds = std::atof(argv[++i]);
        else if (arg == "--timeout" && hasValue) options.timeout = std::atof(argv[++i]);
        else if (!urlSeen && ParseUrl(arg, options)) urlSeen = true;
        else {
            std::fprintf(stderr,
                         "usage: handshake_client [--resume] [-c CONNECTIONS] [-d SECONDS] [--timeout SECONDS] "
                         "https://HOST:PORT/PATH\n");
            return 2;
        }
    }
    if (!urlSeen) return std::fprintf(stderr, "handshake_client: no URL\n"), 2;
    Client client(options);
    return client.run();
}
