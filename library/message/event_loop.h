// Message layer, exchange engine: KoEventLoop, one thread's readiness loop.
// The transceiver runs several (one per usable processor by default); each
// owns the connections given to it for their whole life, so what a loop
// does to its connections needs no lock.
//
// One pass: wait for readiness (no longer than the next deadline), call the
// watcher of every ready descriptor, run the tasks other threads posted,
// fire the timers and idle expiries that are due, run what was deferred to
// the end of the pass, write the access-log lines the pass produced, and
// release the objects retired during it. An idle loop waits without a time
// limit: it wakes for readiness, a post, or a deadline, never to poll.
//
// Timers (KoEventLoop::Timer) sit in a binary heap. Moving a deadline
// earlier repositions it; moving it later only records the new time, and
// the heap entry, once due, moves on to it, so the frequent case (activity
// pushes a deadline back) costs no heap work. Idle entries (Idler) wait in
// one list in the order they became idle and all expire after the same
// time-out, so resting and waking are O(1).
//
// Access log: log() appends a line to the loop's buffer; it is written once
// per pass (or when it holds 64 KiB) and whatever is left when the loop
// stops. Lines appended by one thread keep their order.
//
// Threads: post(), stop(), onLoopThread() and current() from any thread;
// everything else only on the loop's thread (while run() runs; before it,
// from the one thread that sets the loop up). post() hands a task to the
// loop; once the loop has stopped a task is destroyed without running
// (post() returns false). A timer or idler knows the loop it is registered
// with and leaves it when destroyed (a loop that goes first forgets them);
// a watcher's user takes its descriptor out before the watcher goes.
// Objects that may be destroyed from their own callback are handed to
// retire(), which keeps them until the end of the pass. Failures: the constructor throws KoException when no wait set or
// wake-up can be made; nothing else throws but std::bad_alloc.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/poller.h"
#include "platform/wake_up.h"

class KoEventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Task = std::function<void()>;
    using LogWriter = std::function<void(std::string_view lines)>;

    // Lines buffered before they are written within a pass.
    static constexpr std::size_t logFlushBytes = 64 * 1024;

    // Something with a descriptor in the loop's wait set.
    class Watcher {
    public:
        virtual void ready(unsigned events) = 0;

    protected:
        ~Watcher() = default;
    };

    class Timer {
    public:
        virtual void expired() = 0;
        bool armed() const { return slot_ != npos; }
        // When it fires (meaningful while armed).
        Clock::time_point due() const { return due_; }

    protected:
        Timer() = default;
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        // Disarms it: the heap never keeps a timer that is gone.
        ~Timer();

    private:
        friend class KoEventLoop;
        static constexpr std::size_t npos = static_cast<std::size_t>(-1);
        KoEventLoop* loop_ = nullptr;  // while armed
        Clock::time_point due_{};  // when it is to fire
        Clock::time_point key_{};  // its place in the heap (never after due_)
        std::size_t slot_ = npos;
    };

    class Idler {
    public:
        virtual void idleExpired() = 0;
        // The loop found nothing to do for a short wait while this rests:
        // what it keeps for its next exchange may go. Once per rest.
        virtual void quiet() {}
        bool resting() const { return resting_; }
        Clock::time_point restingSince() const { return since_; }

    protected:
        Idler() = default;
        Idler(const Idler&) = delete;
        Idler& operator=(const Idler&) = delete;
        // Leaves the idle list: the list never links an idler that is gone.
        ~Idler();

    private:
        friend class KoEventLoop;
        KoEventLoop* loop_ = nullptr;  // while resting
        Idler* prev_ = nullptr;
        Idler* next_ = nullptr;
        Clock::time_point since_{};
        bool resting_ = false;
        bool quieted_ = false;  // quiet() called since it began to rest
    };

    explicit KoEventLoop(std::size_t index = 0);
    ~KoEventLoop();
    KoEventLoop(const KoEventLoop&) = delete;
    KoEventLoop& operator=(const KoEventLoop&) = delete;

    // --- the thread that runs the loop -----------------------------------
    // Runs passes until stop(); then drops the posted tasks and writes the
    // log. Returns at once if stop() came first.
    void run();

    // --- any thread ------------------------------------------------------
    // Ends run() after its current pass; a loop that is not running drops
    // its posted tasks at once.
    void stop();
    // Waits until run() has returned (at once when it is not running); for
    // who must know the loop no longer touches what it was given. Not on the
    // loop's own thread.
    void awaitEnd();
    // Runs task on the loop's thread; false (the task destroyed, not run)
    // once the loop has stopped.
    bool post(Task task);
    bool onLoopThread() const;
    bool stopped() const { return stopped_.load(std::memory_order_acquire); }
    std::size_t index() const { return index_; }
    // Passes run so far (each is one wait and what followed it).
    std::uint64_t passes() const { return passes_.load(std::memory_order_relaxed); }
    // The loop run() runs on this thread, or null.
    static KoEventLoop* current();

    // --- the loop's thread -------------------------------------------------
    bool watch(int fd, unsigned interest, Watcher& watcher);
    bool rewatch(int fd, unsigned interest);
    void unwatch(int fd);
    unsigned interest(int fd) const { return poller_.interest(fd); }
    std::size_t watchedCount() const { return poller_.size(); }

    void arm(Timer& timer, Clock::time_point due);
    void disarm(Timer& timer);
    std::size_t armedTimers() const { return heap_.size(); }

    // All idlers of the loop expire this long after they began to rest.
    void setIdleTimeout(Clock::duration timeout) { idleTimeout_ = timeout; }
    Clock::duration idleTimeout() const { return idleTimeout_; }
    void rest(Idler& idler);
    void unrest(Idler& idler);
    // The idler resting longest, or null.
    Idler* oldestResting() const { return idleHead_; }
    // The one that began to rest after idler (resting on this loop), or null.
    static Idler* nextResting(const Idler& idler) { return idler.next_; }
    std::size_t restingCount() const { return restingCount_; }

    // The time this pass began (cheaper than asking the clock again).
    Clock::time_point now() const { return now_; }

    // Runs once at the end of this pass (after events, tasks and timers).
    void defer(Task task);
    // Keeps an object alive until the end of the pass.
    void retire(std::shared_ptr<void> object);
    // One object per key kept for later on this loop (what a closed
    // connection made, for the next one to use again): keep replaces what
    // is kept under key, take hands it out (null when none). Let go of when
    // the loop ends.
    void keep(const void* key, std::shared_ptr<void> object);
    std::shared_ptr<void> take(const void* key);

    // A buffer for reads, reused by every connection of the loop.
    char* scratch() { return scratch_.get(); }
    static constexpr std::size_t scratchSize = 64 * 1024;

    // Bytes the loop's connections let go of (buffers of connections that
    // went idle). Once enough were let go, the loop hands the free memory
    // back to the system when a wait of quietWaitMs finds nothing to do.
    // Such a wait also tells the idlers that began to rest since the last
    // one (Idler::quiet).
    void released(std::size_t bytes) { released_ += bytes; }
    static constexpr std::size_t releaseThreshold = 2 * 1024 * 1024;
    static constexpr int quietWaitMs = 50;
    // Idlers told at once that also hand free memory back.
    static constexpr std::size_t quietBurst = 64;

    void log(std::string_view line);
    // Where log lines go; standard output when not set.
    void setLogWriter(LogWriter writer) { logWriter_ = std::move(writer); }
    void flushLog();

private:
    void pass();
    int waitTimeoutMs() const;
    void runTasks();
    void runTimers();
    void runIdleExpiries();
    // Idler::quiet for those that began to rest since the last quiet wait;
    // how many were told.
    std::size_t quietResting();
    void siftUp(std::size_t slot);
    void siftDown(std::size_t slot);
    void place(std::size_t slot, Timer* timer);
    void removeAt(std::size_t slot);

    const std::size_t index_;
    platform::Poller poller_;
    platform::WakeUp wake_;
    std::vector<platform::Poller::Event> events_;
    std::atomic<bool> stopped_{false};
    std::mutex runLock_;
    std::condition_variable runEnded_;
    bool runs_ = false;  // under runLock_
    std::atomic<std::thread::id> thread_{};
    std::atomic<std::uint64_t> passes_{0};

    std::mutex taskLock_;
    std::vector<Task> tasks_;  // under taskLock_
    std::vector<Task> running_;
    std::vector<Task> deferred_;
    std::vector<std::shared_ptr<void>> retired_;
    std::vector<std::pair<const void*, std::shared_ptr<void>>> kept_;

    std::vector<Timer*> heap_;
    Idler* idleHead_ = nullptr;
    Idler* idleTail_ = nullptr;
    std::size_t restingCount_ = 0;
    Clock::duration idleTimeout_ = std::chrono::seconds(115);

    Clock::time_point now_ = Clock::now();
    std::size_t released_ = 0;
    std::unique_ptr<char[]> scratch_;
    std::string logBuffer_;
    LogWriter logWriter_;
};
