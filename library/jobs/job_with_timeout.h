// KoJobWithTimeout: a job with an inactivity deadline on the monotonic clock.
//
// touch() restarts the deadline while the job is alive; checkTimedOut()
// answers true exactly once when the deadline has passed and clears `alive`.
// A call on a job whose `alive` is clear sets it again and answers false,
// without restarting the deadline, so an expired job answers true, false,
// true, ... until touch() restarts it. Owners poll checkTimedOut from their
// housekeeping thread. Any thread may call any operation (lock-free).
// Failures: none beyond those of KoJob.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "jobs/job.h"

class KoJobWithTimeout : public KoJob {
public:
    using Clock = std::chrono::steady_clock;

    explicit KoJobWithTimeout(uint64_t timeoutMicros);
    ~KoJobWithTimeout() override;

    virtual void touch();
    virtual bool checkTimedOut();

protected:
    // When the deadline last started (construction or the last restart).
    Clock::time_point lastRestart() const {
        return Clock::time_point(Clock::duration(start_.load(std::memory_order_relaxed)));
    }
    // Starts the deadline again from now, a clock reading the caller has.
    void restartFrom(Clock::time_point now) {
        start_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }

    const uint64_t timeoutMicros;
    std::atomic<bool> alive{true};

private:
    // Only the start is kept: the length is always timeoutMicros.
    std::atomic<Clock::rep> start_;
};
