#include "platform/wake_up.h"

#include "platform/socket.h"
#include "platform/win32/wide_text.h"

namespace platform {

// WSAPoll watches sockets only: the wake-up is a connected loopback pair,
// a byte sent on one end makes the other readable.
WakeUp::WakeUp() {
    auto pair = socketPair();
    if (!pair.ok()) {
        error_ = pair.error();
        return;
    }
    setNonBlocking(pair.value().first.get(), true);
    setNonBlocking(pair.value().second.get(), true);
    fd_ = std::move(pair.value().first);
    signalEnd_ = std::move(pair.value().second);
}

void WakeUp::signal() {
    if (!signalEnd_.valid()) return;
    const char one = 1;
    // A full buffer leaves the other end readable, so the waiter wakes anyway.
    ::send(win32::toSocket(signalEnd_.get()), &one, 1, 0);
}

void WakeUp::drain() {
    if (!fd_.valid()) return;
    char bytes[256];
    while (::recv(win32::toSocket(fd_.get()), bytes, sizeof bytes, 0) == static_cast<int>(sizeof bytes)) {
    }
}

}  // namespace platform
