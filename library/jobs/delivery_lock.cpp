#include "jobs/delivery_lock.h"

void KoDeliveryLock::guard() {
    while (guard_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

void KoDeliveryLock::lock() {
    const auto me = std::this_thread::get_id();
    for (;;) {
        guard();
        if (depth_ == 0 || owner_ == me) {
            owner_ = me;
            ++depth_;
            unguard();
            return;
        }
        // Read under the guard: a release after it changes the count, so the
        // wait below cannot miss it.
        const std::uint32_t seen = releases_.load(std::memory_order_acquire);
        unguard();
        releases_.wait(seen, std::memory_order_acquire);
    }
}

bool KoDeliveryLock::try_lock() {
    const auto me = std::this_thread::get_id();
    guard();
    const bool taken = depth_ == 0 || owner_ == me;
    if (taken) {
        owner_ = me;
        ++depth_;
    }
    unguard();
    return taken;
}

void KoDeliveryLock::unlock() {
    guard();
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) {
        unguard();
        return;
    }
    const bool released = --depth_ == 0;
    if (released) owner_ = std::thread::id();
    // Counted under the guard, so that a waiter that read the count before
    // sees it change.
    if (released) releases_.fetch_add(1, std::memory_order_release);
    unguard();
    if (released) releases_.notify_all();
}

bool KoDeliveryLock::lockUnless(const std::atomic<bool>& giveUp) {
    const auto me = std::this_thread::get_id();
    for (;;) {
        guard();
        if (depth_ == 0 || owner_ == me) {
            owner_ = me;
            ++depth_;
            unguard();
            return true;
        }
        if (giveUp.load()) {
            unguard();
            return false;
        }
        const std::uint32_t seen = releases_.load(std::memory_order_acquire);
        unguard();
        releases_.wait(seen, std::memory_order_acquire);
    }
}

void KoDeliveryLock::wakeWaiters() {
    guard();
    releases_.fetch_add(1, std::memory_order_release);
    unguard();
    releases_.notify_all();
}

bool KoDeliveryLock::heldByMe() {
    guard();
    const bool mine = depth_ > 0 && owner_ == std::this_thread::get_id();
    unguard();
    return mine;
}
