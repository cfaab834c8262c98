#include "jobs/job.h"

#include <mutex>
#include <thread>
#include <utility>

#include "jobs/combined_task.h"
#include "jobs/unique_name_source.h"

namespace {

std::atomic<long> liveJobs{0};

}  // namespace

const std::string& KoJobName::make() const {
    // Not call_once (glibc's wakes futex waiters every time, a system call
    // for a name nobody else waited for) and no mutex (jobs are many): two
    // threads that read a new name at once are rare, and the one that comes
    // second to set it takes the first one's.
    auto made = std::make_unique<const std::string>(KoUniqueNameSource::jobs().generate());
    const std::string* expected = nullptr;
    if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return *made.release();
    return *expected;
}

KoJob::KoJob() { liveJobs.fetch_add(1, std::memory_order_relaxed); }

KoJob::~KoJob() {
    // Without a name the job was never registered or addressed.
    if (name.made()) KoCombinedTask::instance().forget(name);
    liveJobs.fetch_sub(1, std::memory_order_relaxed);
}

long KoJob::liveCount() { return liveJobs.load(); }

bool KoJob::receive(KoJobMessage&) { return true; }

bool KoJob::send(std::string, const KoJobMessage&) { return false; }

void KoJob::createJoinedTask(std::string& joinedTask, const std::string& info) {
    KoCombinedTask::instance().create(joinedTask, *this, info);
}

void KoJob::createJoinedTask(std::string& joinedTask, const char* info) {
    createJoinedTask(joinedTask, std::string(info));
}

bool KoJob::leaveJoinedTask(const std::string& joinedTask) {
    // No joined task has an empty name: nothing to leave, and no name to make.
    if (joinedTask.empty()) return false;
    return KoCombinedTask::instance().leave(joinedTask, name);
}

bool KoJob::withdraw() { return name.made() && KoCombinedTask::instance().withdraw(name); }

bool KoJob::setState(uint32_t value) {
    bool wanted = false;
    {
        std::lock_guard<KoSmallLock> guard(stateLock);
        if (value != state.load() && value != requestedState.load()) {
            requestedState.store(value);
            wanted = true;
        }
    }
    if (!wanted) return false;
    // An empty approver throws std::bad_function_call.
    const bool approved = stateApprover();
    if (approved) state.store(value);
    return approved;
}

bool KoJob::attachToJoinedTask(const std::string& joinedTask) {
    {
        std::lock_guard<KoSmallLock> guard(stateLock);
        if (joinedTask_) *joinedTask_ = joinedTask;
        else if (!joinedTask.empty()) joinedTask_ = std::make_unique<std::string>(joinedTask);
    }
    return KoCombinedTask::instance().attach(joinedTask, *this);
}

bool KoJob::leaveCurrentJoinedTask(const std::string& joinedTask) {
    if (!joinedTask.empty()) return leaveJoinedTask(joinedTask);
    std::string current;
    {
        std::lock_guard<KoSmallLock> guard(stateLock);
        if (joinedTask_) current = std::exchange(*joinedTask_, std::string());
    }
    return leaveJoinedTask(current);
}

std::string KoJob::currentJoinedTask() {
    std::lock_guard<KoSmallLock> guard(stateLock);
    return joinedTask_ ? *joinedTask_ : std::string();
}
