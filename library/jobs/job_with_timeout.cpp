#include "jobs/job_with_timeout.h"

#include <chrono>

namespace velko {

Deadline::Deadline(uint64_t micros) : start_(nowNanos()), duration_(static_cast<int64_t>(micros) * 1000) {}

int64_t Deadline::nowNanos() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void Deadline::restart(uint64_t micros) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    start_ = nowNanos();
    duration_ = static_cast<int64_t>(micros) * 1000;
}

bool Deadline::expired() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return nowNanos() - start_ >= duration_;
}

}  // namespace velko

KoJobWithTimeout::KoJobWithTimeout(uint64_t timeoutMicros)
    : timeoutMicros(timeoutMicros), deadline(0) {
    deadline.restart(timeoutMicros);
}

KoJobWithTimeout::~KoJobWithTimeout() { withdraw(); }

void KoJobWithTimeout::touch() {
    std::lock_guard<std::recursive_mutex> guard(timeoutLock);
    if (alive.load()) deadline.restart(timeoutMicros);
}

bool KoJobWithTimeout::checkTimedOut() {
    std::lock_guard<std::recursive_mutex> guard(timeoutLock);
    bool was = alive.load();
    bool now;
    do {
        now = !(was && deadline.expired());
    } while (!alive.compare_exchange_weak(was, now));
    return !now;
}
