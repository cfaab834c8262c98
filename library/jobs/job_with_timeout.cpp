#include "jobs/job_with_timeout.h"

KoJobWithTimeout::KoJobWithTimeout(uint64_t timeoutMicros)
    : timeoutMicros(timeoutMicros), start_(Clock::now().time_since_epoch().count()) {}

KoJobWithTimeout::~KoJobWithTimeout() { withdraw(); }

void KoJobWithTimeout::touch() {
    if (alive.load()) restartFrom(Clock::now());
}

bool KoJobWithTimeout::checkTimedOut() {
    const bool expired = Clock::now() - lastRestart() >= std::chrono::microseconds(timeoutMicros);
    // The exchange on `alive` makes each expiry answered once, whoever asks.
    bool was = alive.load();
    bool now;
    do {
        now = !(was && expired);
    } while (!alive.compare_exchange_weak(was, now));
    return !now;
}
