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
// Failures: std::system_error from the underlying mutex only.
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

private:
    // Every job has one, and most are never contended: the state sits under
    // a flag held for a few instructions, and waiters sleep on a release
    // count (an atomic wait, no mutex or condition variable to carry).
    void guard();
    void unguard() { guard_.clear(std::memory_order_release); }
    // Under guard_: takes the lock (again) if it is free or already me's.
    bool takeGuarded(std::thread::id me);

    std::atomic_flag guard_ = ATOMIC_FLAG_INIT;
    std::atomic<std::uint32_t> releases_{0};
    unsigned depth_ = 0;  // under guard_
    std::thread::id owner_;  // under guard_
};
