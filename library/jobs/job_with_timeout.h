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
#include <cstdint>

#include "jobs/job.h"

namespace velko {

// A start time and a duration on the monotonic clock, in nanoseconds; each
// value is read and written whole.
class Deadline {
public:
    explicit Deadline(uint64_t micros);
    void restart(uint64_t micros);
    bool expired();

private:
    static int64_t nowNanos();

    std::atomic<int64_t> start_{0};
    std::atomic<int64_t> duration_{0};
};

}  // namespace velko

class KoJobWithTimeout : public KoJob {
public:
    explicit KoJobWithTimeout(uint64_t timeoutMicros);
    ~KoJobWithTimeout() override;

    virtual void touch();
    virtual bool checkTimedOut();

protected:
    const uint64_t timeoutMicros;
    velko::Deadline deadline;
    std::atomic<bool> alive{true};
};
