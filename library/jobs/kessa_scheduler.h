// KoKessaScheduler2: runs work items, each at once on a thread of its own
// that is kept for reuse (KoReusableThreads).
//
// submit() takes a body (parameters pointer -> parameters pointer), optional
// parameters and options, and returns the item's job number (process-wide,
// from 1). Three service tasks start with the first submission: the
// dispatcher launches ready items (at most `maxRunning` at once when it is
// not 0; items whose exclusion masks share a bit never run at the same
// time), the collector stores what each run returned as the item's result
// and reschedules items that asked to repeat, and the timer moves repeating
// items back to ready when their delay has passed (within one tick,
// `tickMicros`). All service tasks sleep on condition variables when there
// is nothing to do. A launched item never waits for a free thread: when
// every thread is busy, another is started, and a thread idle for
// `idleThreadLinger` ends.
//
// Ending an item: cancel(n) stops further runs; hasResult(n) turns true once
// the item is neither running nor waiting to be collected; takeResult(n)
// then hands over the result and forgets the item. cancelAndWait(n) does the
// three in one call without polling. hasResult is true for a number that
// is not known; takeResult returns null for it.
//
// A body that returns null or throws ends its item: the error is written to
// standard error and the item's own parameters become its result, so that
// its owner can still end it; the other items are not affected.
//
// The destructor stops the scheduler: items not yet launched never run,
// running items must end by themselves (their owners cancel them first),
// then every record is freed and every thread joined. Ownership: the
// scheduler owns the records, their parameters and results until
// takeResult. Threads: every operation may be called from any thread,
// including from a body. Failures: std::system_error from threads and
// locks, std::bad_alloc.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "jobs/kessa_job_options.h"
#include "jobs/kessa_job_parameters_and_result.h"
#include "jobs/reusable_threads.h"

// The timer's resolution: a delayed item runs within about one tick after
// its due time.
inline constexpr uint64_t KoKessaTickMicros = 10000;
// Step of the destructor's wait for running items.
inline constexpr std::chrono::milliseconds KoKessaWaitStep{20};

struct KoKessaSchedulerSettings {
    uint64_t maxRunning = 0;  // 0: no limit
    uint64_t tickMicros = KoKessaTickMicros;
    std::chrono::milliseconds waitStep = KoKessaWaitStep;
    std::chrono::milliseconds idleThreadLinger = KoIdleThreadLinger;
};

class KoKessaScheduler2 {
public:
    explicit KoKessaScheduler2(KoKessaSchedulerSettings settings = {});
    KoKessaScheduler2(const KoKessaScheduler2&) = delete;
    KoKessaScheduler2& operator=(const KoKessaScheduler2&) = delete;
    virtual ~KoKessaScheduler2();

    // Queues a work item; with null `parameters` a fresh object with `runs` 1
    // and the options' repeatMode is made. Returns the job number.
    uint64_t submit(KoKessaJobBody body,
                    std::unique_ptr<KoKessaJobParametersAndResult> parameters,
                    const KoKessaJobOptions& options);
    // No further runs of the item; a run in progress finishes.
    void cancel(uint64_t number);
    bool hasResult(uint64_t number);
    // The result of an ended item, which the caller now owns, or null (an
    // unknown number, or an item that still runs or will run again).
    std::unique_ptr<KoKessaJobParametersAndResult> takeResult(uint64_t number);
    // cancel, wait until hasResult, takeResult.
    std::unique_ptr<KoKessaJobParametersAndResult> cancelAndWait(uint64_t number);

    void setMaxRunning(uint64_t limit);
    uint64_t maxRunning();
    std::size_t runningCount();

private:
    enum class Where { ready, running, finished, delayed, idle };

    struct Record {
        uint64_t number = 0;
        KoKessaJobBody body;
        KoKessaJobOptions options;
        std::unique_ptr<KoKessaJobParametersAndResult> parameters;
        // What the last run returned, when it is not `parameters`.
        std::unique_ptr<KoKessaJobParametersAndResult> otherResult;
        bool hasResult = false;
        bool resultIsParameters = false;
        uint32_t repeatMode = 0;
        Where where = Where::ready;
        // When a delayed item is due; on the monotonic clock, so that setting
        // the system clock neither stalls nor hurries repetitions.
        std::chrono::steady_clock::time_point due;
    };

    struct RunOutcome {
        KoKessaJobParametersAndResult* returned = nullptr;
        bool failed = false;
    };

    void startServices();
    void dispatchLoop();
    void collectLoop();
    void timerLoop();
    void runRecord(Record* record);
    void launchReady();        // queueLock_ held
    void collect(Record* record, RunOutcome outcome);
    void reschedule(Record* record);  // queueLock_ and timerLock_ held
    static void endWithParameters(Record* record);  // queueLock_ held
    bool ended(uint64_t number);  // queueLock_ held

    const uint64_t tickMicros_;
    const std::chrono::milliseconds waitStep_;

    std::mutex queueLock_;
    uint64_t maxRunning_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> started_{false};
    std::condition_variable dispatchWake_;  // with queueLock_
    std::mutex collectLock_;
    std::condition_variable collectWake_;  // with collectLock_
    std::condition_variable resultWake_;   // with queueLock_: an item ended
    std::mutex timerLock_;
    std::condition_variable timerWake_;  // with timerLock_

    std::mutex serviceLock_;
    std::future<void> dispatcherTask_;
    std::future<void> collectorTask_;
    std::future<void> timerTask_;

    // guarded by queueLock_
    std::map<uint64_t, std::unique_ptr<Record>> jobs_;
    std::deque<Record*> ready_;
    std::set<Record*> running_;
    uint64_t busyMask_ = 0;

    // guarded by collectLock_
    std::vector<std::pair<Record*, RunOutcome>> finished_;

    bool collectorStop_ = false;  // guarded by collectLock_

    // guarded by timerLock_; queueLock_ is always taken before it
    std::vector<Record*> delayed_;
    std::set<uint64_t> cancelled_;
    uint64_t timerGeneration_ = 0;  // raised when `delayed_` grows

    // Last, so that its threads are joined before anything they touch goes.
    KoReusableThreads threads_;
};
