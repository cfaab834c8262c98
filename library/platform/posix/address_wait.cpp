#include "platform/address_wait.h"

namespace platform {

void waitWhileEqual(const std::atomic<std::uint32_t>& value, std::uint32_t seen) {
    value.wait(seen, std::memory_order_acquire);
}

void wakeAllWaiting(std::atomic<std::uint32_t>& value) { value.notify_all(); }

void wakeOneWaiting(std::atomic<std::uint32_t>& value) { value.notify_one(); }

}  // namespace platform
