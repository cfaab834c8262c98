#include "jobs/delivery_lock.h"

#include <system_error>

#include "platform/address_wait.h"

void KoDeliveryLock::guard() {
    while (guard_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

KoDeliveryLock::Take KoDeliveryLock::takeGuarded(std::thread::id me) {
    if (depth_ != 0 && owner_ != me) return Take::busy;
    if (depth_ == maxDepth) return Take::tooDeep;
    owner_ = me;
    ++depth_;
    return Take::taken;
}

void KoDeliveryLock::lock() {
    static const std::atomic<bool> never{false};
    lockUnless(never);
}

bool KoDeliveryLock::try_lock() {
    guard();
    const bool taken = takeGuarded(std::this_thread::get_id()) == Take::taken;
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
    if (released) platform::wakeAllWaiting(releases_);
}

bool KoDeliveryLock::lockUnless(const std::atomic<bool>& giveUp) {
    const auto me = std::this_thread::get_id();
    for (;;) {
        guard();
        const Take take = takeGuarded(me);
        if (take != Take::busy) {
            unguard();
            if (take == Take::tooDeep)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                        "delivery lock held too often");
            return true;
        }
        if (giveUp.load()) {
            unguard();
            return false;
        }
        // Read under the guard: a release after it changes the count, so the
        // wait below cannot miss it.
        const std::uint32_t seen = releases_.load(std::memory_order_acquire);
        unguard();
        platform::waitWhileEqual(releases_, seen);
    }
}

void KoDeliveryLock::wakeWaiters() {
    guard();
    releases_.fetch_add(1, std::memory_order_release);
    unguard();
    platform::wakeAllWaiting(releases_);
}

bool KoDeliveryLock::heldByMe() {
    guard();
    const bool mine = depth_ > 0 && owner_ == std::this_thread::get_id();
    unguard();
    return mine;
}
