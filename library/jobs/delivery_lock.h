// KoDeliveryLock: the recursive lock that makes deliveries to one job
// mutually exclusive.
//
// It behaves as a recursive mutex (lock, try_lock, unlock; usable with
// std::lock_guard, std::unique_lock, std::scoped_lock and
// std::condition_variable_any) and adds what the dispatcher needs to wait for
// a busy job without spinning: lockUnless() blocks until the lock is free or
// a give-up flag is raised, and wakeWaiters() makes blocked callers look at
// that flag again. Unlike std::recursive_mutex it may be destroyed while a
// thread still counts as holding it (a job deleted from its own receive).
// Any thread may call any operation; unlock must come from the holder.
// Failures: lock() by the holder past maxDepth raises std::system_error
// (try_lock then answers false), as std::recursive_mutex may.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class KoDeliveryLock {
public:
    KoDeliveryLock() = default;
    KoDeliveryLock(const KoDeliveryLock&) = delete;
    KoDeliveryLock& operator=(const KoDeliveryLock&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    // Takes the lock, waiting as long as it is held by another thread, unless
    // `giveUp` is or becomes set (after wakeWaiters()); returns whether taken.
    bool lockUnless(const std::atomic<bool>& giveUp);
    // Wakes every caller blocked in lock() or lockUnless().
    void wakeWaiters();

    // Whether the calling thread holds the lock.
    bool heldByMe();

    // How often the holder may hold it at once.
    static constexpr unsigned maxDepth = 0xFFFF;

private:
    // Every job has one, and most are never contended: the state sits under
    // a flag held for a few instructions, and waiters sleep on a release
    // count (an atomic wait, no mutex or condition variable to carry).
    void guard();
    void unguard() { guard_.clear(std::memory_order_release); }
    // Under guard_: takes the lock (again) if it is free or already me's.
    enum class Take { taken, busy, tooDeep };
    Take takeGuarded(std::thread::id me);

    // Ordered to fit two words: every job has one.
    std::thread::id owner_;  // under guard_
    std::atomic<std::uint32_t> releases_{0};
    std::uint16_t depth_ = 0;  // under guard_
    std::atomic_flag guard_ = ATOMIC_FLAG_INIT;
};
