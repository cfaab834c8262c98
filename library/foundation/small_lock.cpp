#include "foundation/small_lock.h"

#include "platform/address_wait.h"

void KoSmallLock::lockContended() noexcept {
    // Marks the word as having sleepers before each sleep, so that the
    // holder's unlock wakes one; a thread that takes it this way keeps the
    // mark (it cannot know whether others still sleep), which costs at most
    // one needless wake.
    while (word_.exchange(sleepers, std::memory_order_acquire) != unlocked) platform::waitWhileEqual(word_, sleepers);
}

void KoSmallLock::wakeOne() noexcept { platform::wakeOneWaiting(word_); }
