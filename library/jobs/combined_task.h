// KoCombinedTask: the one message dispatcher of the process, and the registry
// of joined tasks.
//
// post() queues a copy of a message for a job name; one worker thread
// delivers the queue strictly first in, first out, one message at a time, to
// jobs known by name (a job becomes known when it creates or attaches to a
// joined task). A message to an unknown name is dropped. A busy target (its
// deliveryLock held by another thread) holds up the messages behind it; the
// worker sleeps until the lock is released, it never spins. An exception
// thrown by receive is swallowed and the message counts as delivered.
//
// Joined tasks: a job creates one (it is the owner), others attach by name.
// When a member leaves and one member remains, that member gets a message of
// code 6, text "kommt später" (or "kommt später A" when the other was
// withdrawn), name = its own name. The owner leaving dissolves the joined
// task without a message.
//
// Lifetime: instance() is built when the library is loaded and is never
// destroyed, so jobs destroyed by static destructors can still withdraw; its
// worker is stopped and joined when the process ends (a receive that never
// returns would hold up the end; one waiting for a busy job does not). A
// separately built KoCombinedTask stops and joins its worker on destruction.
// The dispatcher holds job pointers but does not own the jobs; withdraw()
// (which ~KoJob calls) waits for a delivery in progress to that job, unless
// called on the worker thread itself.
//
// Threads: every operation may be called from any thread, including from
// receive on the worker thread. Failures: std::system_error and std::bad_alloc
// only; post returns false once the dispatcher has stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jobs/job_message.h"

class KoJob;

class KoCombinedTask {
public:
    KoCombinedTask();
    KoCombinedTask(const KoCombinedTask&) = delete;
    KoCombinedTask& operator=(const KoCombinedTask&) = delete;
    ~KoCombinedTask();

    // The process-wide dispatcher.
    static KoCombinedTask& instance();

    // Queues a copy of `message` for `target` and wakes the worker.
    bool post(const std::string& target, const KoJobMessage& message);
    // Registers a new joined task owned by `owner`; returns its name, which
    // is also stored in `name`.
    std::string create(std::string& name, KoJob& owner, const std::string& info);
    // Adds `job` to an existing joined task; false if it does not exist.
    bool attach(const std::string& joinedTask, KoJob& job);
    bool leave(const std::string& joinedTask, const std::string& jobName);
    bool withdraw(const std::string& jobName);
    // Called by ~KoJob: withdraws the job; on the worker thread (the job is
    // destroyed from a receive) also makes the worker forget it.
    void forget(const std::string& jobName);
    static const std::string& commonErrorName();

    // Stops the worker after the message it is delivering, and joins it
    // (unless called on the worker). Queued messages are not delivered.
    // Idempotent.
    void stop();
    bool stopped() const { return stopping_.load(); }

    // Waits until the queue is empty and no delivery is in progress, or the
    // dispatcher stops; false on time-out. For tests and orderly teardown.
    bool waitIdle(std::chrono::milliseconds timeout);

    // Observers of the registry.
    bool joinedTaskExists(const std::string& joinedTask);
    std::string joinedTaskInfo(const std::string& joinedTask);
    std::set<std::string> membersOf(const std::string& joinedTask);
    std::set<std::string> joinsOf(const std::string& jobName);
    bool knows(const std::string& jobName);
    std::size_t queued();

private:
    struct Owner {
        KoJob* job;  // null once the owner has been withdrawn
        std::string name;
    };

    void run();
    void deliver(const std::string& target, KoJobMessage& message);
    void addMember(const std::string& joinedTask, KoJob& job);
    // Appends a code-6 message to `queue_`; queueLock_ must be held.
    void queueJoinReduced(const std::string& member, const char* text);
    bool onWorker() const;

    std::recursive_mutex registryLock_;
    std::mutex queueLock_;
    std::condition_variable wake_;   // with queueLock_: posts and stop
    std::condition_variable idle_;   // with queueLock_: a delivery ended
    std::atomic<bool> stopping_{false};

    // guarded by registryLock_ (owners_, infos_ also by queueLock_)
    std::map<std::string, Owner> owners_;
    std::map<std::string, std::string> infos_;
    std::map<std::string, KoJob*> jobsByName_;
    std::map<std::string, std::set<std::string>> joinsOfJob_;
    std::map<std::string, std::set<std::string>> membersOfJoin_;
    std::vector<std::string> singleMemberJoins_;

    // The job being delivered to, guarded by registryLock_. A withdrawal of
    // that job raises giveUp_ (so that the worker stops waiting for its lock)
    // and waits on unpinned_ until the worker lets go of it.
    KoJob* pinned_ = nullptr;
    std::string pinnedName_;
    bool pinnedGone_ = false;  // destroyed from its own receive
    std::atomic<bool> giveUp_{false};
    std::condition_variable_any unpinned_;

    // guarded by queueLock_
    std::deque<std::pair<std::string, KoJobMessage>> queue_;
    bool delivering_ = false;

    std::mutex stopLock_;  // serialises stop()
    std::thread::id workerId_;
    std::thread worker_;
};
