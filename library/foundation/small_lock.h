// KoSmallLock: a plain mutex of four bytes, for objects there are many of.
//
// std::mutex is 40 bytes with glibc, and every job and connection carries
// some: on a thousand idle connections that is memory held for locks that are
// almost never contended. This one is one 32-bit word (unlocked, locked,
// locked with sleepers); an uncontended lock and unlock are one atomic step
// each, and a waiter sleeps on the word (platform::waitWhileEqual) instead of
// spinning. Not recursive; usable with std::lock_guard, std::unique_lock and
// std::scoped_lock (std::condition_variable_any for waits).
// Any thread may lock; unlock must come from the holder. Nothing throws.
#pragma once

#include <atomic>
#include <cstdint>

class KoSmallLock {
public:
    KoSmallLock() = default;
    KoSmallLock(const KoSmallLock&) = delete;
    KoSmallLock& operator=(const KoSmallLock&) = delete;

    void lock() noexcept {
        std::uint32_t expected = unlocked;
        if (!word_.compare_exchange_strong(expected, locked, std::memory_order_acquire, std::memory_order_relaxed))
            lockContended();
    }
    bool try_lock() noexcept {
        std::uint32_t expected = unlocked;
        return word_.compare_exchange_strong(expected, locked, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (word_.exchange(unlocked, std::memory_order_release) == sleepers) wakeOne();
    }

private:
    enum : std::uint32_t { unlocked = 0, locked = 1, sleepers = 2 };
    void lockContended() noexcept;
    void wakeOne() noexcept;

    std::atomic<std::uint32_t> word_{unlocked};
};
