#include "platform/address_wait.h"

#include "platform/win32/windows_headers.h"

namespace platform {

// std::atomic<std::uint32_t> is lock-free and holds just the value, so its
// address is the value's address.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void waitWhileEqual(const std::atomic<std::uint32_t>& value, std::uint32_t seen) {
    // WaitOnAddress compares and sleeps as one step; it may also return
    // spuriously, hence the loop.
    while (value.load(std::memory_order_acquire) == seen) {
        ::WaitOnAddress(const_cast<std::atomic<std::uint32_t>*>(&value), &seen, sizeof seen, INFINITE);
    }
}

void wakeAllWaiting(std::atomic<std::uint32_t>& value) { ::WakeByAddressAll(&value); }

void wakeOneWaiting(std::atomic<std::uint32_t>& value) { ::WakeByAddressSingle(&value); }

}  // namespace platform
