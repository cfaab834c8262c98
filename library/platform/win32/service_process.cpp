#include "platform/service_process.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "platform/poller.h"
#include "platform/socket.h"
#include "platform/win32/process_start.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// A blocking connect to a port nobody listens on yet takes seconds on
// Windows (it repeats its SYN); short non-blocking tries with fresh
// sockets notice the listener as soon as it is there.
constexpr int connectTryMs = 50;

Result<SocketAddress> loopback(int port) {
    ResolveHints hints;
    hints.numericHost = true;
    hints.family = AddressFamily::ipv4;
    Resolution found = resolveStream("127.0.0.1", std::to_string(port), hints);
    if (!found.ok() || found.entries.empty()) return Error(WSAEADDRNOTAVAIL);
    return found.entries.front().address;
}

// A loopback port that was free a moment ago.
Result<int> freeLoopbackPort() {
    auto address = loopback(0);
    if (!address.ok()) return address.error();
    auto socket = openSocket(AddressFamily::ipv4, SOCK_STREAM, IPPROTO_TCP);
    if (!socket.ok()) return socket.error();
    if (Error bound = bindSocket(socket.value().get(), address.value()); !bound.ok()) return bound;
    auto local = localAddress(socket.value().get());
    if (!local.ok()) return local.error();
    return local.value().port();
}

// One try: connected (non-blocking), or why not within connectTryMs.
Result<Descriptor> tryConnect(const SocketAddress& address) {
    auto socket = openSocket(AddressFamily::ipv4, SOCK_STREAM, IPPROTO_TCP);
    if (!socket.ok()) return socket.error();
    const int fd = socket.value().get();
    if (Error blocking = setNonBlocking(fd, true); !blocking.ok()) return blocking;
    Error connecting = connectSocket(fd, address);
    if (connecting.inProgress()) {
        auto ready = waitDescriptor(fd, writable, connectTryMs);
        if (!ready.ok()) return ready.error();
        connecting = ready.value() == 0 ? Error(WSAETIMEDOUT) : pendingError(fd);
    }
    if (!connecting.ok()) return connecting;
    return std::move(socket.value());
}

}  // namespace

Result<ServiceProcess> ServiceProcess::start(const ChildOptions& options, int standardInput) {
    const HANDLE error = win32::standardError();
    auto started = win32::startProcess(options, win32::toHandle(standardInput), error, error);
    if (!started.ok()) return started.error();
    ServiceProcess process;
    process.pid_ = started.value().id;
    process.process_ = std::move(started.value().process);
    process.group_ = std::move(started.value().job);
    return process;
}

Result<ConnectedService> ServiceProcess::startConnected(const ChildOptions& options, const std::string&,
                                                        int waitMs) {
    auto port = freeLoopbackPort();
    if (!port.ok()) return port.error();
    auto address = loopback(port.value());
    if (!address.ok()) return address.error();
    ChildOptions withPort = options;
    withPort.arguments.push_back("-b");
    withPort.arguments.push_back("127.0.0.1:" + std::to_string(port.value()));
    const HANDLE error = win32::standardError();
    auto started = win32::startProcess(withPort, nullptr, error, error);
    if (!started.ok()) return started.error();
    ServiceProcess process;
    process.pid_ = started.value().id;
    process.process_ = std::move(started.value().process);
    process.group_ = std::move(started.value().job);

    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto connected = tryConnect(address.value());
        if (connected.ok()) return ConnectedService{std::move(process), std::move(connected.value())};
        // A child that could not listen (the port was taken after all, or it
        // failed) has ended by now or will not listen in time.
        if (::WaitForSingleObject(win32::toHandle(process.process_.get()), 0) == WAIT_OBJECT_0) {
            return Error(ERROR_PROCESS_ABORTED);
        }
        if (Clock::now() >= deadline) return Error(WAIT_TIMEOUT);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ServiceProcess::ServiceProcess(ServiceProcess&& other) noexcept
    : pid_(other.pid_), process_(std::move(other.process_)), group_(std::move(other.group_)) {
    other.pid_ = -1;
}

ServiceProcess& ServiceProcess::operator=(ServiceProcess&& other) noexcept {
    if (this != &other) {
        end();
        pid_ = other.pid_;
        process_ = std::move(other.process_);
        group_ = std::move(other.group_);
        other.pid_ = -1;
    }
    return *this;
}

ServiceProcess::~ServiceProcess() { end(); }

void ServiceProcess::end() {
    if (pid_ < 0) return;
    if (group_.valid()) ::TerminateJobObject(win32::toHandle(group_.get()), 1);
    ::TerminateProcess(win32::toHandle(process_.get()), 1);
    ::WaitForSingleObject(win32::toHandle(process_.get()), INFINITE);
    process_.reset();
    group_.reset();
    pid_ = -1;
}

}  // namespace platform
