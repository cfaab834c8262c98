// Jobs: KoReusableThreads runs each task at once on a thread that is kept
// for the next task.
//
// run(task) hands the task to an idle thread, or starts a new thread when
// every thread is busy: a task never waits for a free thread, so a task may
// block for as long as it likes (the pool grows instead). A thread that has
// been idle for `linger` ends by itself, so a steady stream of short tasks
// reuses a few threads and a burst leaves none behind for long. The thread
// that was idle last is the one reused first; the others are the ones that
// end.
//
// Ownership: the pool owns its threads and joins every one of them: a thread
// that ended by itself is joined by the next one that ends (or by the
// destructor), and the destructor ends the idle ones and waits for the busy
// ones, that is for the tasks they run.
// Threads: run() may be called from any thread, also from inside a task,
// until the destructor begins; the destructor must not be called from a
// task. Failures: run() raises std::system_error when no thread can be
// started (the task is then dropped unrun); an exception that leaves a task
// is written as a diagnostic line with the pool's name.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How long an idle thread waits for its next task before it ends.
inline constexpr std::chrono::milliseconds KoIdleThreadLinger{5000};

class KoReusableThreads {
public:
    using Task = std::function<void()>;

    explicit KoReusableThreads(std::string name, std::chrono::milliseconds linger = KoIdleThreadLinger);
    ~KoReusableThreads();
    KoReusableThreads(const KoReusableThreads&) = delete;
    KoReusableThreads& operator=(const KoReusableThreads&) = delete;

    void run(Task task);

    // Threads started and not yet ended, and those of them waiting for a task.
    std::size_t threadCount();
    std::size_t idleCount();

private:
    struct Worker {
        std::thread thread;
        std::condition_variable wake;  // with lock_: a task or the end
        Task task;
        std::list<Worker>::iterator self;
    };

    void serve(Worker* worker);
    void runGuarded(Task& task) const;

    const std::string name_;
    const std::chrono::milliseconds linger_;
    std::mutex lock_;
    bool stopping_ = false;      // under lock_
    std::list<Worker> workers_;  // under lock_: threads that have not ended
    std::vector<Worker*> idle_;  // under lock_: the last one idle at the back
    std::list<Worker> retired_;  // under lock_: ended, to be joined
};
