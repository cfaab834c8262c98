#include "jobs/delivery_lock.h"

void KoDeliveryLock::lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return;
    }
    released_.wait(guard, [this] { return depth_ == 0; });
    owner_ = me;
    depth_ = 1;
}

bool KoDeliveryLock::try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ != me) return false;
    owner_ = me;
    ++depth_;
    return true;
}

void KoDeliveryLock::unlock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;
    if (--depth_ == 0) {
        owner_ = std::thread::id();
        released_.notify_all();
    }
}

bool KoDeliveryLock::lockUnless(const std::atomic<bool>& giveUp) {
    std::unique_lock<std::mutex> guard(mutex_);
    const auto me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return true;
    }
    released_.wait(guard, [&] { return depth_ == 0 || giveUp.load(); });
    if (depth_ != 0) return false;
    owner_ = me;
    depth_ = 1;
    return true;
}

void KoDeliveryLock::wakeWaiters() {
    std::lock_guard<std::mutex> guard(mutex_);
    released_.notify_all();
}

bool KoDeliveryLock::heldByMe() {
    std::lock_guard<std::mutex> guard(mutex_);
    return depth_ > 0 && owner_ == std::this_thread::get_id();
}
