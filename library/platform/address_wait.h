// Platform: sleeping until a 32-bit atomic counter changes, and waking the
// sleepers, without spinning (the waits of the jobs' delivery lock and
// small lock).
//
// On POSIX this is std::atomic's own wait and notify (a futex on Linux). On
// Windows it is WaitOnAddress/WakeByAddressAll: the C++ run-time of
// mingw-w64 g++ 12 implements std::atomic::wait there with a condition
// variable that a notify can miss (it checks the value outside the mutex
// that the notifier never takes), so a waiter could sleep for ever.
// Any thread may call these; nothing throws.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

// Returns once value is no longer seen (at once when it already differs).
void waitWhileEqual(const std::atomic<std::uint32_t>& value, std::uint32_t seen);
// Wakes every thread in waitWhileEqual on value.
void wakeAllWaiting(std::atomic<std::uint32_t>& value);
// Wakes one of them, if any.
void wakeOneWaiting(std::atomic<std::uint32_t>& value);

}  // namespace platform
