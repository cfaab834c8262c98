#include "server/hooks/url_hook_service.h"

#include <utility>

#include "jobs/combined_task.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "server/hooks/url_hook_worker.h"

KoURLHookService::KoURLHookService(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_, std::string clientId_,
                                   std::string serverId_, std::string connectionTag_, KoServerCallback callback_,
                                   KoURLHookWorkerFactory factory_, KoURLHookAnswerSink sink_,
                                   KoURLHookSettings settings_)
    : KoTransceiverServer(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                          std::move(connectionTag_), std::move(callback_), false),
      factory(std::move(factory_)),
      hookSettings(std::move(settings_)),
      sink(std::move(sink_)) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    std::string task;
    createJoinedTask(task, "urlhook_" + name);
}

KoURLHookService::~KoURLHookService() {
    withdraw();
    stopping = true;
    reapJobs(true);
    std::map<std::string, std::shared_ptr<KoTransceiverServerL0>> own;
    {
        std::lock_guard<KoDeliveryLock> lock(deliveryLock);
        own.swap(workers);
        idle.clear();
        waiting.clear();
    }
    for (auto& [id, worker] : own) worker->stop();
    own.clear();
}

bool KoURLHookService::start() { return true; }

std::vector<std::shared_ptr<KoTransceiverServerL0>> KoURLHookService::workerList() {
    std::vector<std::shared_ptr<KoTransceiverServerL0>> all;
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    for (auto& [id, worker] : workers) all.push_back(worker);
    return all;
}

void KoURLHookService::stop() {
    stopping = true;
    for (auto& worker : workerList()) worker->stop();
}

void KoURLHookService::endJobs() {
    stopping = true;
    reapJobs(true);
    for (auto& worker : workerList()) worker->endJobs();
    KoTransceiverServer::endJobs();
}

void KoURLHookService::detach(KoTransceiver& from) {
    for (auto& worker : workerList()) worker->detach(from);
    KoTransceiverServer::detach(from);
}

bool KoURLHookService::checkTimedOut() { return false; }

std::size_t KoURLHookService::waitingCount() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    return waiting.size();
}

std::size_t KoURLHookService::load() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    return waiting.size() + (workers.size() - idle.size()) + starting;
}

std::size_t KoURLHookService::WorkerCount() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    return workers.size();
}

std::size_t KoURLHookService::IdleCount() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    return idle.size();
}

KoURLHookService::Claim KoURLHookService::claimLocked(const std::shared_ptr<KoXHeader>& message, bool priority,
                                                      std::shared_ptr<KoTransceiverServerL0>& worker,
                                                      std::vector<std::shared_ptr<KoTransceiverServerL0>>& expired) {
    while (!idle.empty()) {
        const std::string id = *idle.begin();
        idle.erase(idle.begin());
        auto it = workers.find(id);
        if (it == workers.end()) continue;
        if (it->second->checkTimedOut()) {
            expired.push_back(std::move(it->second));
            workers.erase(it);
            continue;
        }
        worker = it->second;
        return Claim::idle;
    }
    for (auto& [id, candidate] : workers) {
        auto* hook = dynamic_cast<KoURLHookWorker*>(candidate.get());
        if (hook == nullptr || claimedEarly.count(id) != 0 || !hook->Resting()) continue;
        claimedEarly.insert(id);
        worker = candidate;
        return Claim::idle;
    }
    if (workers.size() + starting >= maxWorkers) {
        if (priority)
            waiting.push_front(message);
        else
            waiting.push_back(message);
        return Claim::queued;
    }
    ++starting;
    return Claim::fresh;
}

std::shared_ptr<KoTransceiverServerL0> KoURLHookService::launch(const std::shared_ptr<KoXHeader>& message,
                                                                std::string& reason) {
    KoTransceiver* target = AttachedTransceiver();
    std::shared_ptr<KoTransceiverServerL0> worker;
    if (target != nullptr && factory && !stopping) {
        try {
            worker = factory(scheduler, *target, clientId, message->name, message, name, callback);
        } catch (const std::exception& error) {
            reason = error.what();
            worker.reset();
        }
    }
    bool started = false;
    if (worker) {
        worker->attach(*target);
        started = worker->start();
        if (!started) {
            KoJobMessage query;
            query.code = job_code::status;
            worker->receive(query);
            if (!query.items.empty()) reason = query.items.back();
            worker->detach(*target);
        }
    } else if (reason.empty()) {
        reason = target == nullptr ? "no transceiver" : "no worker could be made";
    }
    {
        std::lock_guard<KoDeliveryLock> lock(deliveryLock);
        --starting;
        if (!started) return nullptr;
        workers[worker->name] = worker;
    }
    // Known to the transceiver, so that housekeeping expires it once it has
    // idled past its time-out.
    target->RegisterServer(worker);
    return worker;
}

void KoURLHookService::forget(const std::shared_ptr<KoTransceiverServerL0>& worker) {
    {
        std::lock_guard<KoDeliveryLock> lock(deliveryLock);
        idle.erase(worker->name);
        claimedEarly.erase(worker->name);
        workers.erase(worker->name);
    }
    if (KoTransceiver* target = AttachedTransceiver()) {
        target->RemoveServer(worker->name);
        worker->detach(*target);
    }
}

std::shared_ptr<KoXHeader> KoURLHookService::dispatch(std::shared_ptr<KoXHeader> message, bool& started,
                                                      bool priority) {
    if (!message || AttachedTransceiver() == nullptr) return message;
    started = false;
    touch();
    for (;;) {
        std::shared_ptr<KoTransceiverServerL0> worker;
        std::vector<std::shared_ptr<KoTransceiverServerL0>> expired;
        Claim claim;
        {
            std::lock_guard<KoDeliveryLock> lock(deliveryLock);
            claim = claimLocked(message, priority, worker, expired);
        }
        expired.clear();
        if (claim == Claim::queued) return nullptr;
        if (claim == Claim::fresh) {
            std::string reason;
            worker = launch(message, reason);
            if (!worker) {
                started = true;
                pump();
                return message;
            }
        }
        if (worker->takeDescription(message, {}, false)) return nullptr;
        // The worker ended meanwhile; try the next one.
        forget(worker);
        if (claim == Claim::fresh) {
            started = true;
            pump();
            return message;
        }
    }
}

bool KoURLHookService::takeDescription(std::shared_ptr<KoXHeader> description, const std::string&, bool flag) {
    dispatchLater(std::move(description), flag);
    return true;
}

void KoURLHookService::dispatchLater(std::shared_ptr<KoXHeader> message, bool priority) {
    if (!message) return;
    if (AttachedTransceiver() == nullptr || stopping) {
        refuse(message, "the outgoing side is stopped");
        return;
    }
    touch();
    for (;;) {
        std::shared_ptr<KoTransceiverServerL0> worker;
        std::vector<std::shared_ptr<KoTransceiverServerL0>> expired;
        Claim claim;
        {
            std::lock_guard<KoDeliveryLock> lock(deliveryLock);
            claim = claimLocked(message, priority, worker, expired);
        }
        expired.clear();
        if (claim == Claim::queued) return;
        if (claim == Claim::idle) {
            if (worker->takeDescription(message, {}, false)) return;
            forget(worker);
            continue;
        }
        // Connecting may block up to the time-outs: on an item of its own.
        reapJobs(false);
        std::lock_guard<std::mutex> lock(jobsLock);
        KoKessaJobOptions options;
        options.name = "KoURLHookService_connect" + name;
        connectJobs.push_back(scheduler.submit(
            [this, message](KoKessaJobParametersAndResult* p) {
                connectAndHand(message);
                return p;
            },
            nullptr, options));
        return;
    }
}

void KoURLHookService::connectAndHand(std::shared_ptr<KoXHeader> message) {
    std::string reason;
    auto worker = launch(message, reason);
    if (worker && worker->takeDescription(message, {}, false)) return;
    if (worker) {
        forget(worker);
        reason = "the connection ended before the request could be written";
    }
    refuse(message, reason);
    pump();
}

void KoURLHookService::refuse(const std::shared_ptr<KoXHeader>& message, const std::string& reason) {
    auto answer = url_hook::ErrorAnswer(*message, url_hook::kStatusNoExchange,
                                        reason.empty() ? std::string("no exchange was possible") : reason);
    answer->serverName = name;
    if (sink) sink(message->name, answer);
    message->leaveCurrentJoinedTask("");
    const KoStringMap values = url_hook::ResultValues(*message, *answer);
    if (values.count("ctask") != 0) {
        KoJobMessage note;
        note.code = job_code::joinReduced;
        note.name = name;
        note.values = values;
        KoCombinedTask::instance().post(clientId, note);
    }
}

void KoURLHookService::pump() {
    std::shared_ptr<KoXHeader> next;
    {
        std::lock_guard<KoDeliveryLock> lock(deliveryLock);
        if (waiting.empty() || (idle.empty() && workers.size() + starting >= maxWorkers)) return;
        next = std::move(waiting.front());
        waiting.pop_front();
    }
    dispatchLater(std::move(next), true);
}

bool KoURLHookService::receive(KoJobMessage& message) {
    if (message.code == job_code::taskDone) {
        std::shared_ptr<KoXHeader> next;
        {
            std::lock_guard<KoDeliveryLock> lock(deliveryLock);
            if (message.values.count("ctask") != 0) {
                KoJobMessage note;
                note.code = job_code::joinReduced;
                note.name = name;
                note.values = message.values;
                KoCombinedTask::instance().post(clientId, note);
            }
            if (claimedEarly.erase(message.name) != 0) {
                // The end of an exchange whose worker already runs the next.
            } else if (workers.count(message.name) != 0 && idle.insert(message.name).second && !waiting.empty()) {
                next = std::move(waiting.front());
                waiting.pop_front();
            }
        }
        if (next) dispatchLater(std::move(next), true);
        return true;
    }
    if (message.code == job_code::ended) {
        std::shared_ptr<KoTransceiverServerL0> ended;
        {
            std::lock_guard<KoDeliveryLock> lock(deliveryLock);
            idle.erase(message.name);
            claimedEarly.erase(message.name);
            auto it = workers.find(message.name);
            if (it != workers.end()) {
                ended = std::move(it->second);
                workers.erase(it);
            }
        }
        if (ended) {
            if (KoTransceiver* target = AttachedTransceiver()) {
                target->RemoveServer(ended->name);
                ended->detach(*target);
            }
        }
        pump();
        return true;
    }
    return true;
}

void KoURLHookService::reapJobs(bool all) {
    std::vector<std::uint64_t> jobs;
    {
        std::lock_guard<std::mutex> lock(jobsLock);
        jobs.swap(connectJobs);
    }
    std::vector<std::uint64_t> keep;
    for (std::uint64_t job : jobs) {
        if (all) {
            scheduler.cancelAndWait(job);
        } else if (scheduler.hasResult(job)) {
            scheduler.takeResult(job);
        } else {
            keep.push_back(job);
        }
    }
    std::lock_guard<std::mutex> lock(jobsLock);
    connectJobs.insert(connectJobs.end(), keep.begin(), keep.end());
}
