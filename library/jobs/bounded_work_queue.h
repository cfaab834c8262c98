// Jobs: KoBoundedWorkQueue runs work that may block (a child process, a
// host's handler) on scheduler work items, its runners, at most `limit` at
// once; further work waits its turn in the order it came, and a runner that
// ends a piece takes the next waiting one itself.
//
// Ownership: the queue owns the work that waits and the job numbers it
// submitted; a piece of work is destroyed on the task that ran it, or by
// stop() when it never ran.
// Threads: any thread may submit, also from inside a piece of work. stop()
// (and the destructor) drops the waiting work without running it and waits
// until the running pieces have returned; it must not be called from inside
// one. Failures: an exception that leaves a piece of work is written to
// standard error with the queue's name; the piece still counts as ended.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class KoKessaScheduler2;

class KoBoundedWorkQueue {
public:
    using Work = std::function<void()>;

    // A limit of 0 counts as 1. name names the work items and error lines.
    KoBoundedWorkQueue(KoKessaScheduler2& scheduler, std::size_t limit, std::string name);
    ~KoBoundedWorkQueue();
    KoBoundedWorkQueue(const KoBoundedWorkQueue&) = delete;
    KoBoundedWorkQueue& operator=(const KoBoundedWorkQueue&) = delete;

    // Queues the work; false (and the work is dropped) once stopped.
    bool submit(Work work);
    void stop();
    std::size_t Running();
    std::size_t Waiting();

private:
    void launchLocked();
    void runPieces(Work work, std::uint64_t job);

    KoKessaScheduler2& scheduler;
    const std::size_t limit;
    const std::string name;
    std::mutex lock;
    std::condition_variable idle;
    std::deque<Work> waiting;
    std::size_t running = 0;
    std::set<std::uint64_t> jobs;      // submitted, not yet collected
    std::vector<std::uint64_t> ended;  // of `jobs`: runners that have returned
    bool stopped = false;
};
