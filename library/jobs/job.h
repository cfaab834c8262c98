// Jobs: named active objects, the process-wide message dispatcher, joined
// tasks, inactivity deadlines and the scheduler that runs background work
// items on tasks of their own.
// May use: foundation and the standard library.
//
// KoJob is the base of every active object. It has a unique name ("_job*"
// and 18 digits, made when first read: KoJobName), a delivery lock that the dispatcher holds while it delivers
// one message to the job, a state that changes only with the approver's
// consent, and the name of the joined task it last attached to.
//
// A job is reached by messages only while it is in at least one joined task
// (created by it or attached to): the dispatcher knows it by name from then
// until it leaves its last one or is withdrawn. The dispatcher does not own
// jobs. A job whose name was never read is in no registry: withdrawing or
// destroying it touches nothing shared. The destructor withdraws the job and waits for a delivery in progress
// to end, so a job may be destroyed on any thread while messages to it are in
// flight; messages still queued for it are dropped. A class that may be the
// most derived one calls withdraw() first in its destructor, so that no
// delivery runs into a half-destroyed object; or its owner destroys it through
// KoJobDeleter (koMakeSharedJob, KoUniqueJob), which withdraws it first.
// Likewise a constructor that creates or attaches to a joined task makes the
// job reachable before the most derived constructor has finished; such a
// constructor holds deliveryLock until it is done.
//
// Threads: every operation may be called from any thread; receive is called
// on the dispatcher's thread with deliveryLock held. Failures: setState
// raises std::bad_function_call for an empty approver; otherwise only
// std::system_error and std::bad_alloc.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "foundation/small_lock.h"
#include "jobs/delivery_lock.h"
#include "jobs/job_message.h"
#include "jobs/job_name.h"
#include "jobs/state_approver.h"

class KoJob {
public:
    KoJob();
    KoJob(const KoJob&) = delete;
    KoJob& operator=(const KoJob&) = delete;

    // Called by the dispatcher with deliveryLock held; the base ignores the
    // message and returns true. Exceptions are swallowed by the dispatcher.
    virtual bool receive(KoJobMessage& message);
    // The base sends nothing and returns false; jobs that may talk to other
    // jobs override it to post through KoCombinedTask.
    virtual bool send(std::string target, const KoJobMessage& message);
    // Registers a new joined task owned by this job; `name` receives its
    // generated name ("joinedtask*...").
    virtual void createJoinedTask(std::string& name, const std::string& info);
    // Removes this job from the joined task; false if it was not in it. The
    // owner leaving dissolves the joined task without a message.
    virtual bool leaveJoinedTask(const std::string& joinedTask);
    // Removes this job from every registry of the dispatcher and waits for a
    // delivery to it that is in progress on another thread; false if the job
    // was in no joined task.
    virtual bool withdraw();
    virtual ~KoJob();
    // Stores `value` as the requested state and, if the approver agrees, as
    // the state. False without asking the approver when `value` is already
    // the state or the requested state.
    virtual bool setState(uint32_t value);
    // Remembers the name as the current joined task, then attaches to it;
    // false if no such joined task exists.
    virtual bool attachToJoinedTask(const std::string& joinedTask);
    // Leaves the named joined task, or with an empty name the current one
    // (which is then forgotten).
    virtual bool leaveCurrentJoinedTask(const std::string& joinedTask);
    // Same as the first createJoinedTask.
    virtual void createJoinedTask(std::string& name, const char* info);
    virtual std::string currentJoinedTask();

    // Number of KoJob objects alive in the process.
    static long liveCount();

    KoDeliveryLock deliveryLock;
    KoJobName name;

protected:
    KoSmallLock stateLock;

public:
    std::atomic<uint32_t> state{0};
    std::atomic<uint32_t> requestedState{0};
    // Asked by setState; the default always agrees.
    KoStateApprover stateApprover;

private:
    // Guarded by stateLock; held apart, as most jobs never attach.
    std::unique_ptr<std::string> joinedTask_;
};

// Withdraws a job before its destruction starts, so that no delivery can
// reach any part of it while it is being torn down.
struct KoJobDeleter {
    void operator()(KoJob* job) const {
        job->withdraw();
        delete job;
    }
};

template <class T>
using KoUniqueJob = std::unique_ptr<T, KoJobDeleter>;

template <class T, class... Args>
KoUniqueJob<T> koMakeUniqueJob(Args&&... args) {
    return KoUniqueJob<T>(std::make_unique<T>(std::forward<Args>(args)...).release());
}

template <class T, class... Args>
std::shared_ptr<T> koMakeSharedJob(Args&&... args) {
    return std::shared_ptr<T>(std::make_unique<T>(std::forward<Args>(args)...).release(), KoJobDeleter{});
}
