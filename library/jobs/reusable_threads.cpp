#include "jobs/reusable_threads.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "foundation/diagnostics.h"

KoReusableThreads::KoReusableThreads(std::string name, std::chrono::milliseconds linger)
    : name_(std::move(name)), linger_(linger) {}

KoReusableThreads::~KoReusableThreads() {
    std::list<Worker> all;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        for (Worker* worker : idle_) worker->wake.notify_one();
        // Once stopping, no thread moves between the lists any more.
        all.splice(all.end(), workers_);
        all.splice(all.end(), retired_);
    }
    for (Worker& worker : all) {
        if (worker.thread.joinable()) worker.thread.join();
    }
}

void KoReusableThreads::run(Task task) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!idle_.empty()) {
        Worker* worker = idle_.back();
        idle_.pop_back();
        worker->task = std::move(task);
        worker->wake.notify_one();
        return;
    }
    auto added = workers_.emplace(workers_.end());
    added->self = added;
    added->task = std::move(task);
    try {
        // The new thread waits for lock_ before it looks at the lists.
        added->thread = std::thread([this, worker = &*added] { serve(worker); });
    } catch (...) {
        workers_.erase(added);
        throw;
    }
}

void KoReusableThreads::serve(Worker* worker) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        Task task = std::move(worker->task);
        worker->task = nullptr;
        guard.unlock();
        runGuarded(task);
        // What the task holds goes before the thread may be reused or joined.
        task = nullptr;
        guard.lock();
        if (stopping_) return;
        idle_.push_back(worker);
        worker->wake.wait_for(guard, linger_, [&] { return worker->task != nullptr || stopping_; });
        if (worker->task != nullptr) continue;  // run() took it off idle_
        idle_.erase(std::find(idle_.begin(), idle_.end(), worker));
        if (stopping_) return;
        break;
    }
    // Ended by lingering: join the thread that ended before this one, and
    // leave this one to the next (or to the destructor).
    std::list<Worker> earlier;
    earlier.swap(retired_);
    retired_.splice(retired_.end(), workers_, worker->self);
    guard.unlock();
    for (Worker& ended : earlier) ended.thread.join();
}

void KoReusableThreads::runGuarded(Task& task) const {
    try {
        task();
    } catch (const std::exception& error) {
        diagnostic(name_ + ": " + error.what());
    } catch (...) {
        diagnostic(name_ + ": unknown exception");
    }
}

std::size_t KoReusableThreads::threadCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return workers_.size();
}

std::size_t KoReusableThreads::idleCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return idle_.size();
}
