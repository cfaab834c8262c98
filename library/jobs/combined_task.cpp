#include "jobs/combined_task.h"

#include <exception>

#include "jobs/job.h"
#include "jobs/no_destructor.h"
#include "jobs/unique_name_source.h"

using RegistryGuard = std::unique_lock<std::recursive_mutex>;
using BothGuard = std::scoped_lock<std::recursive_mutex, std::mutex>;

KoCombinedTask::KoCombinedTask() {
    std::lock_guard<std::mutex> guard(queueLock_);
    worker_ = std::thread([this] { run(); });
    workerId_ = worker_.get_id();
}

KoCombinedTask::~KoCombinedTask() { stop(); }

KoCombinedTask& KoCombinedTask::instance() {
    static velko::NoDestructor<KoCombinedTask> dispatcher;
    return dispatcher.get();
}

const std::string& KoCombinedTask::commonErrorName() { return KoUniqueNameSource::commonErrorName(); }

bool KoCombinedTask::onWorker() const { return std::this_thread::get_id() == workerId_; }

bool KoCombinedTask::post(const std::string& target, const KoJobMessage& message) {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (stopping_.load()) return false;
    queue_.emplace_back(target, message);
    wake_.notify_all();
    return true;
}

void KoCombinedTask::queueJoinReduced(const std::string& member, const char* text) {
    KoJobMessage message;
    message.name = member;
    message.text = text;
    message.code = job_code::joinReduced;
    queue_.emplace_back(member, std::move(message));
    wake_.notify_all();
}

void KoCombinedTask::addMember(const std::string& joinedTask, KoJob& job) {
    jobsByName_[job.name] = &job;
    joinsOfJob_[job.name].insert(joinedTask);
    membersOfJoin_[joinedTask].insert(job.name);
}

std::string KoCombinedTask::create(std::string& name, KoJob& owner, const std::string& info) {
    name = KoUniqueNameSource::joinedTasks().generate();
    BothGuard guard(registryLock_, queueLock_);
    owners_[name] = Owner{&owner, owner.name};
    infos_[name] = info;
    addMember(name, owner);
    return name;
}

bool KoCombinedTask::attach(const std::string& joinedTask, KoJob& job) {
    BothGuard guard(registryLock_, queueLock_);
    if (owners_.find(joinedTask) == owners_.end()) return false;
    addMember(joinedTask, job);
    return true;
}

bool KoCombinedTask::leave(const std::string& joinedTask, const std::string& leaver) {
    BothGuard guard(registryLock_, queueLock_);
    auto owner = owners_.find(joinedTask);
    if (owner == owners_.end()) return false;

    // The owner leaving dissolves the joined task, silently.
    if (owner->second.name == leaver) {
        auto members = membersOfJoin_.find(joinedTask);
        if (members != membersOfJoin_.end()) {
            for (const std::string& member : members->second) {
                auto joins = joinsOfJob_.find(member);
                if (joins == joinsOfJob_.end()) continue;
                joins->second.erase(joinedTask);
                if (joins->second.empty()) {
                    joinsOfJob_.erase(joins);
                    jobsByName_.erase(member);
                }
            }
            membersOfJoin_.erase(members);
        }
        owners_.erase(owner);
        infos_.erase(joinedTask);
        return true;
    }

    auto joins = joinsOfJob_.find(leaver);
    if (joins == joinsOfJob_.end() || joins->second.erase(joinedTask) == 0) return false;
    if (joins->second.empty()) {
        joinsOfJob_.erase(joins);
        jobsByName_.erase(leaver);
    }

    auto members = membersOfJoin_.find(joinedTask);
    if (members == membersOfJoin_.end()) return true;
    members->second.erase(leaver);
    if (members->second.size() == 1) {
        singleMemberJoins_.push_back(joinedTask);
        queueJoinReduced(*members->second.begin(), "kommt später");
    }
    if (members->second.empty()) {
        membersOfJoin_.erase(members);
        owners_.erase(joinedTask);
        infos_.erase(joinedTask);
    }
    return true;
}

bool KoCombinedTask::withdraw(const std::string& jobName) {
    bool found = false;
    {
        BothGuard guard(registryLock_, queueLock_);
        auto joins = joinsOfJob_.find(jobName);
        if (joins != joinsOfJob_.end()) {
            found = true;
            for (const std::string& joinedTask : joins->second) {
                auto members = membersOfJoin_.find(joinedTask);
                if (members != membersOfJoin_.end()) {
                    members->second.erase(jobName);
                    if (members->second.size() == 1) {
                        queueJoinReduced(*members->second.begin(), "kommt später A");
                    } else if (members->second.empty()) {
                        membersOfJoin_.erase(members);
                        owners_.erase(joinedTask);
                        infos_.erase(joinedTask);
                        continue;
                    }
                }
                // The joined task outlives its owner; never touch it again.
                auto owner = owners_.find(joinedTask);
                if (owner != owners_.end() && owner->second.name == jobName) owner->second.job = nullptr;
            }
            joinsOfJob_.erase(joins);
        }
        jobsByName_.erase(jobName);
    }

    // A delivery to this job may be under way: let the worker stop waiting for
    // the job's lock, and wait until it has let go of the job.
    if (!onWorker()) {
        RegistryGuard guard(registryLock_);
        if (pinned_ != nullptr && !pinnedGone_ && pinnedName_ == jobName) {
            giveUp_.store(true);
            pinned_->deliveryLock.wakeWaiters();
            unpinned_.wait(guard, [&] { return pinned_ == nullptr || pinnedName_ != jobName; });
        }
    }
    return found;
}

void KoCombinedTask::forget(const std::string& jobName) {
    withdraw(jobName);
    if (onWorker()) {
        RegistryGuard guard(registryLock_);
        if (pinned_ != nullptr && pinnedName_ == jobName) pinnedGone_ = true;
    }
}

void KoCombinedTask::run() {
    std::unique_lock<std::mutex> guard(queueLock_);
    for (;;) {
        wake_.wait(guard, [this] { return stopping_.load() || !queue_.empty(); });
        if (stopping_.load()) break;
        auto [target, message] = std::move(queue_.front());
        queue_.pop_front();
        delivering_ = true;
        guard.unlock();
        deliver(target, message);
        guard.lock();
        delivering_ = false;
        idle_.notify_all();
    }
    delivering_ = false;
    idle_.notify_all();
}

void KoCombinedTask::deliver(const std::string& target, KoJobMessage& message) {
    KoJob* job = nullptr;
    bool locked = false;
    {
        RegistryGuard guard(registryLock_);
        auto found = jobsByName_.find(target);
        if (found == jobsByName_.end()) return;
        job = found->second;
        pinned_ = job;
        pinnedName_ = target;
        pinnedGone_ = false;
        giveUp_.store(stopping_.load());
        locked = job->deliveryLock.try_lock();
    }
    // A busy target holds up the queue; sleep until it is free, withdrawn, or
    // the dispatcher stops.
    if (!locked) locked = job->deliveryLock.lockUnless(giveUp_);
    if (locked) {
        try {
            job->receive(message);
        } catch (...) {
            // A receiver's failure is its own; the message counts as delivered.
        }
    }
    {
        RegistryGuard guard(registryLock_);
        if (locked && !pinnedGone_) job->deliveryLock.unlock();
        pinned_ = nullptr;
        pinnedName_.clear();
        pinnedGone_ = false;
    }
    unpinned_.notify_all();
}

void KoCombinedTask::stop() {
    std::lock_guard<std::mutex> serial(stopLock_);
    stopping_.store(true);
    {
        RegistryGuard guard(registryLock_);
        giveUp_.store(true);
        if (pinned_ != nullptr && !pinnedGone_) pinned_->deliveryLock.wakeWaiters();
    }
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        wake_.notify_all();
        idle_.notify_all();
    }
    if (!worker_.joinable()) return;
    if (onWorker()) {
        worker_.detach();
    } else {
        worker_.join();
    }
}

bool KoCombinedTask::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(queueLock_);
    return idle_.wait_for(guard, timeout,
                          [this] { return stopping_.load() || (queue_.empty() && !delivering_); });
}

bool KoCombinedTask::joinedTaskExists(const std::string& joinedTask) {
    RegistryGuard guard(registryLock_);
    return owners_.count(joinedTask) != 0;
}

std::string KoCombinedTask::joinedTaskInfo(const std::string& joinedTask) {
    RegistryGuard guard(registryLock_);
    auto found = infos_.find(joinedTask);
    return found == infos_.end() ? std::string() : found->second;
}

std::set<std::string> KoCombinedTask::membersOf(const std::string& joinedTask) {
    RegistryGuard guard(registryLock_);
    auto found = membersOfJoin_.find(joinedTask);
    return found == membersOfJoin_.end() ? std::set<std::string>() : found->second;
}

std::set<std::string> KoCombinedTask::joinsOf(const std::string& jobName) {
    RegistryGuard guard(registryLock_);
    auto found = joinsOfJob_.find(jobName);
    return found == joinsOfJob_.end() ? std::set<std::string>() : found->second;
}

bool KoCombinedTask::knows(const std::string& jobName) {
    RegistryGuard guard(registryLock_);
    return jobsByName_.count(jobName) != 0;
}

std::size_t KoCombinedTask::queued() {
    std::lock_guard<std::mutex> guard(queueLock_);
    return queue_.size() + (delivering_ ? 1 : 0);
}

namespace {

// Starts the dispatcher when the library is loaded and stops it when the
// process ends; the dispatcher itself stays usable for later destructors.
struct DispatcherLifetime {
    DispatcherLifetime() { KoCombinedTask::instance(); }
    ~DispatcherLifetime() { KoCombinedTask::instance().stop(); }
};

DispatcherLifetime dispatcherLifetime;

}  // namespace
