#include "jobs/job_with_timeout.h"

#include <chrono>

namespace velko {

Deadline::Deadline(uint64_t micros) : start_(nowNanos()), duration_(static_cast<int64_t>(micros) * 1000) {}

int64_t Deadline::nowNanos() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void Deadline::restart(uint64_t micros) {
    duration_.store(static_cast<int64_t>(micros) * 1000, std::memory_order_relaxed);
    start_.store(nowNanos(), std::memory_order_relaxed);
}

bool Deadline::expired() {
    return nowNanos() - start_.load(std::memory_order_relaxed) >= duration_.load(std::memory_order_relaxed);
}

}  // namespace velko

KoJobWithTimeout::KoJobWithTimeout(uint64_t timeoutMicros)
    : timeoutMicros(timeoutMicros), deadline(0) {
    deadline.restart(timeoutMicros);
}

KoJobWithTimeout::~KoJobWithTimeout() { withdraw(); }

void KoJobWithTimeout::touch() {
    if (alive.load()) deadline.restart(timeoutMicros);
}

bool KoJobWithTimeout::checkTimedOut() {
    // The exchange on `alive` makes each expiry answered once, whoever asks.
    bool was = alive.load();
    bool now;
    do {
        now = !(was && deadline.expired());
    } while (!alive.compare_exchange_weak(was, now));
    return !now;
}
