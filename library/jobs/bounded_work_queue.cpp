#include "jobs/bounded_work_queue.h"

#include <exception>
#include <string>
#include <memory>
#include <utility>

#include "foundation/diagnostics.h"
#include "jobs/kessa_scheduler.h"

KoBoundedWorkQueue::KoBoundedWorkQueue(KoKessaScheduler2& scheduler_, std::size_t limit_, std::string name_)
    : scheduler(scheduler_), limit(limit_ == 0 ? 1 : limit_), name(std::move(name_)) {}

KoBoundedWorkQueue::~KoBoundedWorkQueue() { stop(); }

bool KoBoundedWorkQueue::submit(Work work) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped) return false;
    // Forget the records of runners that have ended; busy ones are not asked.
    for (auto it = ended.begin(); it != ended.end();) {
        if (scheduler.hasResult(*it)) {
            scheduler.takeResult(*it);
            jobs.erase(*it);
            it = ended.erase(it);
        } else {
            ++it;
        }
    }
    waiting.push_back(std::move(work));
    launchLocked();
    return true;
}

void KoBoundedWorkQueue::launchLocked() {
    while (!stopped && running < limit && !waiting.empty()) {
        auto first = std::make_shared<Work>(std::move(waiting.front()));
        waiting.pop_front();
        ++running;
        KoKessaJobOptions options;
        options.name = name;
        const auto body = [this, first](KoKessaJobParametersAndResult* p) {
            runPieces(std::exchange(*first, nullptr), p->id);
            return p;
        };
        jobs.insert(scheduler.submit(body, nullptr, options));
    }
}

void KoBoundedWorkQueue::runPieces(Work work, std::uint64_t job) {
    // A runner takes the next waiting piece itself: no new work item per piece.
    for (;;) {
        try {
            work();
        } catch (const std::exception& error) {
            diagnostic(name + ": " + error.what());
        } catch (...) {
            diagnostic(name + ": unknown exception");
        }
        // Whatever the work holds goes before the queue may go.
        work = nullptr;
        std::lock_guard<std::mutex> guard(lock);
        if (stopped || waiting.empty()) {
            --running;
            ended.push_back(job);
            idle.notify_all();
            return;
        }
        work = std::move(waiting.front());
        waiting.pop_front();
    }
}

void KoBoundedWorkQueue::stop() {
    std::set<std::uint64_t> submitted;
    std::deque<Work> dropped;
    {
        std::unique_lock<std::mutex> guard(lock);
        stopped = true;
        dropped.swap(waiting);
        idle.wait(guard, [this] { return running == 0; });
        submitted.swap(jobs);
        ended.clear();
    }
    for (std::uint64_t job : submitted) scheduler.cancelAndWait(job);
}

std::size_t KoBoundedWorkQueue::Running() {
    std::lock_guard<std::mutex> guard(lock);
    return running;
}

std::size_t KoBoundedWorkQueue::Waiting() {
    std::lock_guard<std::mutex> guard(lock);
    return waiting.size();
}
