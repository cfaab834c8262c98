#include "platform/wake_up.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

WakeUp::WakeUp() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        error_ = Error::last();
    } else {
        fd_.reset(fd);
    }
}

void WakeUp::signal() {
    if (!fd_.valid()) return;
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still readable, so the waiter wakes anyway.
    [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &one, sizeof one);
}

void WakeUp::drain() {
    if (!fd_.valid()) return;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd_.get(), &count, sizeof count);
}

}  // namespace platform
