#include "access/attempt_limiter.h"

bool KoAttemptLimiter::blocked(std::string_view address, Clock::time_point now) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = records_.find(address);
    return found != records_.end() && now < found->second.blockedUntil;
}

void KoAttemptLimiter::failed(std::string_view address, Clock::time_point now) {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = records_.find(address);
    if (found == records_.end()) {
        if (records_.size() >= limits_.maxTracked) forgetOldestLocked();
        found = records_.emplace(std::string(address), Record{}).first;
        found->second.windowStart = now;
    }
    Record& record = found->second;
    if (now - record.windowStart > limits_.window) {
        record.failures = 0;
        record.windowStart = now;
    }
    ++record.failures;
    record.last = now;
    if (record.failures > limits_.maxFailures) record.blockedUntil = now + limits_.blockFor;
}

void KoAttemptLimiter::succeeded(std::string_view address) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = records_.find(address);
    if (found != records_.end()) records_.erase(found);
}

std::size_t KoAttemptLimiter::tracked() const {
    std::lock_guard<std::mutex> guard(lock_);
    return records_.size();
}

void KoAttemptLimiter::forgetOldestLocked() {
    auto oldest = records_.begin();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        if (it->second.last < oldest->second.last) oldest = it;
    }
    if (oldest != records_.end()) records_.erase(oldest);
}
