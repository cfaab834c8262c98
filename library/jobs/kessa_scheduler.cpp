#include "jobs/kessa_scheduler.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "foundation/diagnostics.h"
#include "jobs/unique_name_source.h"

namespace {

std::atomic<uint64_t> nextJobNumber{1};

using Clock = std::chrono::steady_clock;
using Both = std::scoped_lock<std::mutex, std::mutex>;

void report(const std::string& line) { diagnostic(line); }

}  // namespace

KoKessaScheduler2::KoKessaScheduler2(KoKessaSchedulerSettings settings)
    : tickMicros_(settings.tickMicros == 0 ? 1 : settings.tickMicros),
      waitStep_(settings.waitStep),
      maxRunning_(settings.maxRunning),
      threads_("KoKessaScheduler2", settings.idleThreadLinger) {}

KoKessaScheduler2::~KoKessaScheduler2() {
    {
        std::lock_guard<std::mutex> guard(timerLock_);
        stopping_.store(true);
        timerWake_.notify_all();
    }
    std::lock_guard<std::mutex> services(serviceLock_);
    if (timerTask_.valid()) timerTask_.wait();
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        dispatchWake_.notify_all();
    }
    if (dispatcherTask_.valid()) dispatcherTask_.wait();
    {
        // Running items end by themselves; their owners have cancelled them.
        std::unique_lock<std::mutex> guard(queueLock_);
        while (!running_.empty()) dispatchWake_.wait_for(guard, waitStep_);
    }
    {
        std::lock_guard<std::mutex> guard(collectLock_);
        collectorStop_ = true;
        collectWake_.notify_all();
    }
    if (collectorTask_.valid()) collectorTask_.wait();
    // The records, their parameters and results go with jobs_.
}

uint64_t KoKessaScheduler2::submit(KoKessaJobBody body,
                                   std::unique_ptr<KoKessaJobParametersAndResult> parameters,
                                   const KoKessaJobOptions& options) {
    auto record = std::make_unique<Record>();
    record->body = std::move(body);
    record->options = options;
    record->repeatMode = options.repeatMode;
    if (!parameters) parameters = std::make_unique<KoKessaJobParametersAndResult>(0, 1, options.repeatMode);
    const uint64_t number = nextJobNumber.fetch_add(1);
    parameters->id = number;
    record->number = number;
    record->parameters = std::move(parameters);
    {
        std::lock_guard<std::mutex> guard(queueLock_);
        Record* raw = record.get();
        jobs_[number] = std::move(record);
        if (stopping_.load()) {
            // Never runs; its owner still gets its parameters back.
            endWithParameters(raw);
        } else {
            ready_.push_back(raw);
            dispatchWake_.notify_all();
        }
    }
    startServices();
    return number;
}

void KoKessaScheduler2::startServices() {
    if (started_.load()) return;
    std::lock_guard<std::mutex> guard(serviceLock_);
    if (started_.load() || stopping_.load()) return;
    started_.store(true);
    dispatcherTask_ = std::async(std::launch::async, [this] { dispatchLoop(); });
    collectorTask_ = std::async(std::launch::async, [this] { collectLoop(); });
    timerTask_ = std::async(std::launch::async, [this] { timerLoop(); });
}

void KoKessaScheduler2::dispatchLoop() {
    std::unique_lock<std::mutex> guard(queueLock_);
    while (!stopping_.load()) {
        // One pass launches everything that can run now; only a change
        // (submission, end of a run, a due item, a new limit) can allow more.
        launchReady();
        if (stopping_.load()) break;
        dispatchWake_.wait(guard);
    }
}

void KoKessaScheduler2::launchReady() {
    for (auto it = ready_.begin(); it != ready_.end();) {
        if (maxRunning_ != 0 && running_.size() >= maxRunning_) return;
        Record* record = *it;
        if ((record->options.exclusionMask & busyMask_) != 0) {
            ++it;
            continue;
        }
        it = ready_.erase(it);
        running_.insert(record);
        try {
            threads_.run([this, record] { runRecord(record); });
        } catch (const std::exception& e) {
            running_.erase(record);
            report("could not start work item " + record->options.name + ": " + e.what());
            endWithParameters(record);
            resultWake_.notify_all();
            continue;
        }
        busyMask_ |= record->options.exclusionMask;
        record->where = Where::running;
    }
}

void KoKessaScheduler2::runRecord(Record* record) {
    RunOutcome outcome;
    try {
        outcome.returned = record->body(record->parameters.get());
    } catch (const std::exception& e) {
        outcome.failed = true;
        report("work item " + record->options.name + " failed: " + e.what());
    } catch (...) {
        outcome.failed = true;
        report("work item " + record->options.name + " failed");
    }
    {
        Both guard(collectLock_, queueLock_);
        running_.erase(record);
        finished_.emplace_back(record, outcome);
        record->where = Where::finished;
        // The item no longer runs, so items sharing its mask may.
        busyMask_ &= ~record->options.exclusionMask;
        dispatchWake_.notify_all();
        collectWake_.notify_all();
    }
}

void KoKessaScheduler2::collectLoop() {
    for (;;) {
        std::vector<std::pair<Record*, RunOutcome>> batch;
        {
            std::unique_lock<std::mutex> guard(collectLock_);
            collectWake_.wait(guard, [this] { return !finished_.empty() || collectorStop_; });
            if (finished_.empty()) return;
            batch.swap(finished_);
        }
        for (const auto& [record, outcome] : batch) collect(record, outcome);
    }
}

void KoKessaScheduler2::collect(Record* record, RunOutcome outcome) {
    Both guard(queueLock_, timerLock_);
    if (outcome.failed || outcome.returned == nullptr) {
        if (!outcome.failed) {
            report("irregular return condition (nullptr) for a task: " + record->options.name);
        }
        endWithParameters(record);
        resultWake_.notify_all();
        return;
    }
    KoKessaJobParametersAndResult* returned = outcome.returned;
    if (returned == record->parameters.get()) {
        record->otherResult.reset();
        record->resultIsParameters = true;
    } else {
        if (record->otherResult.get() != returned) record->otherResult.reset(returned);
        record->resultIsParameters = false;
    }
    record->hasResult = true;
    record->repeatMode = returned->repeatMode;
    if (record->repeatMode == KoKessaRepeat && !stopping_.load() && cancelled_.count(record->number) == 0) {
        reschedule(record);
    } else {
        record->where = Where::idle;
    }
    resultWake_.notify_all();
}

void KoKessaScheduler2::reschedule(Record* record) {
    // Saturate absurd delays instead of letting them wrap into the past.
    constexpr uint64_t maxMicros = 100ULL * 365 * 24 * 3600 * 1'000'000;
    const uint64_t millis = std::min<uint64_t>(record->options.delayMillis, maxMicros / 1000);
    const uint64_t micros = std::min<uint64_t>(record->options.delayMicros, maxMicros);
    const auto delay = std::chrono::microseconds(static_cast<int64_t>(std::min(millis * 1000 + micros, maxMicros)));
    record->due = Clock::now() + delay;
    record->options.dueTime = KoUniqueNameSource::nowTicks() + delay.count() * 10;
    record->where = Where::delayed;
    delayed_.push_back(record);
    ++timerGeneration_;
    timerWake_.notify_all();
}

void KoKessaScheduler2::timerLoop() {
    const auto tick = std::chrono::microseconds(tickMicros_);
    for (;;) {
        uint64_t seen;
        bool any;
        Clock::time_point earliest;
        {
            Both guard(queueLock_, timerLock_);
            if (stopping_.load()) return;
            const auto now = Clock::now();
            bool moved = false;
            auto due = [&](Record* r) { return r->due <= now; };
            for (Record* record : delayed_) {
                if (!due(record)) continue;
                record->where = Where::ready;
                ready_.push_back(record);
                moved = true;
            }
            delayed_.erase(std::remove_if(delayed_.begin(), delayed_.end(), due), delayed_.end());
            if (moved) dispatchWake_.notify_all();
            any = !delayed_.empty();
            earliest = Clock::time_point::max();
            for (Record* record : delayed_) earliest = std::min(earliest, record->due);
            seen = timerGeneration_;
        }
        std::unique_lock<std::mutex> guard(timerLock_);
        auto changed = [&] { return stopping_.load() || timerGeneration_ != seen; };
        if (!any) {
            timerWake_.wait(guard, changed);
            continue;
        }
        // Wake on the next tick boundary at or after the earliest due time, so
        // that items due close together share one wake-up.
        const auto sinceEpoch = earliest.time_since_epoch();
        const auto ticks = (sinceEpoch + tick - Clock::duration(1)) / tick;
        timerWake_.wait_until(guard, Clock::time_point(ticks * tick), changed);
    }
}

void KoKessaScheduler2::endWithParameters(Record* record) {
    record->otherResult.reset();
    record->resultIsParameters = true;
    record->hasResult = true;
    record->where = Where::idle;
}

void KoKessaScheduler2::cancel(uint64_t number) {
    Both guard(queueLock_, timerLock_);
    auto found = jobs_.find(number);
    if (found == jobs_.end()) return;
    Record* record = found->second.get();
    cancelled_.insert(number);
    if (record->where == Where::delayed) {
        delayed_.erase(std::find(delayed_.begin(), delayed_.end(), record));
    } else if (record->where == Where::ready) {
        ready_.erase(std::find(ready_.begin(), ready_.end(), record));
    } else {
        return;  // a run in progress finishes and is not requeued
    }
    if (record->hasResult) {
        record->where = Where::idle;
    } else {
        endWithParameters(record);
    }
    resultWake_.notify_all();
}

bool KoKessaScheduler2::ended(uint64_t number) {
    auto found = jobs_.find(number);
    if (found == jobs_.end()) return true;
    const Record& record = *found->second;
    return record.hasResult && record.where != Where::running && record.where != Where::finished;
}

bool KoKessaScheduler2::hasResult(uint64_t number) {
    std::lock_guard<std::mutex> guard(queueLock_);
    return ended(number);
}

std::unique_ptr<KoKessaJobParametersAndResult> KoKessaScheduler2::takeResult(uint64_t number) {
    Both guard(queueLock_, timerLock_);
    auto found = jobs_.find(number);
    if (found == jobs_.end()) return nullptr;
    Record& record = *found->second;
    if (!record.hasResult || record.where == Where::running || record.where == Where::finished) return nullptr;
    std::unique_ptr<KoKessaJobParametersAndResult> result;
    if (record.where == Where::idle) {
        result = record.resultIsParameters ? std::move(record.parameters) : std::move(record.otherResult);
        cancelled_.erase(number);
        jobs_.erase(found);
        return result;
    }
    // It will run again with its parameters, which therefore stay here.
    if (record.resultIsParameters) return nullptr;
    record.hasResult = false;
    return std::move(record.otherResult);
}

std::unique_ptr<KoKessaJobParametersAndResult> KoKessaScheduler2::cancelAndWait(uint64_t number) {
    cancel(number);
    {
        std::unique_lock<std::mutex> guard(queueLock_);
        resultWake_.wait(guard, [&] { return ended(number); });
    }
    return takeResult(number);
}

void KoKessaScheduler2::setMaxRunning(uint64_t limit) {
    std::lock_guard<std::mutex> guard(queueLock_);
    maxRunning_ = limit;
    dispatchWake_.notify_all();
}

uint64_t KoKessaScheduler2::maxRunning() {
    std::lock_guard<std::mutex> guard(queueLock_);
    return maxRunning_;
}

std::size_t KoKessaScheduler2::runningCount() {
    std::lock_guard<std::mutex> guard(queueLock_);
    return running_.size();
}
