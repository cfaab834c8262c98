#include "server/listen/transceiver_server.h"

#include <exception>
#include <string>
#include <thread>

#include "foundation/diagnostics.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "message/x_header.h"

KoTransceiverServer::KoTransceiverServer(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_,
                                         std::string clientId_, std::string serverId_,
                                         std::string connectionTag_, KoServerCallback callback_,
                                         bool listening_, KoServerSettings settings_)
    : KoTransceiverLayer(static_cast<std::uint64_t>(settings_.inactivityTimeout.count())),
      listening(listening_),
      clientId(std::move(clientId_)),
      serverId(std::move(serverId_)),
      settings(settings_),
      scheduler(scheduler_),
      connectionTag(std::move(connectionTag_)),
      callback(std::move(callback_)) {
    (void)transceiver_;  // attached by the transceiver through attach()
    createJoinedTask(joinedTask, "server_" + clientId);
}

KoTransceiverServer::~KoTransceiverServer() {
    withdraw();
    KoTransceiverServer::endJobs();
    KoServerCallback_t event;
    event.kind = server_event::destroyed;
    event.values["ID"] = name;
    event.values["roll"] = listening ? "server" : "client";
    report(event);
}

bool KoTransceiverServer::receive(KoJobMessage& message) {
    if (message.code == job_code::status) {
        std::lock_guard<std::mutex> lock(textLock);
        message.items.push_back(statusText);
    }
    return true;
}

bool KoTransceiverServer::checkTimedOut() {
    if (listening) return false;
    return KoTransceiverLayer::checkTimedOut();
}

void KoTransceiverServer::processInput(const std::string&, const std::string&) {}

bool KoTransceiverServer::writeMessage(const std::string&, std::shared_ptr<KoXHeader> message) {
    if (message) leaveJoinedTask(message->currentJoinedTask());
    return false;
}

void KoTransceiverServer::stop() { diagnostic("KoTransceiverServer::stop()"); }

void KoTransceiverServer::endJobs() { stopWorker(); }

bool KoTransceiverServer::attach(KoTransceiver& transceiver_) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    if (transceiver != nullptr) return false;
    transceiver = &transceiver_;
    return true;
}

void KoTransceiverServer::detach(KoTransceiver& transceiver_) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    if (transceiver == &transceiver_) transceiver = nullptr;
}

KoTransceiver* KoTransceiverServer::AttachedTransceiver() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    return transceiver;
}

void KoTransceiverServer::deliver(const std::string&) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    wakeWorker();
}

bool KoTransceiverServer::start() { return false; }

std::string KoTransceiverServer::connectionTagText() const { return connectionTag; }

std::size_t KoTransceiverServer::QueueLength() {
    std::lock_guard<std::recursive_mutex> lock(queueLock);
    return queue.size();
}

void KoTransceiverServer::report(const KoServerCallback_t& event) {
    if (!callback) return;
    try {
        callback(event);
    } catch (const std::exception& error) {
        diagnostic(std::string("server callback failed: ") + error.what());
    }
}

void KoTransceiverServer::wakeWorker() {
    // Taking waitLock orders this wake after the worker's last look at the
    // queue, so the wake cannot fall between its check and its wait.
    { std::lock_guard<std::mutex> lock(waitLock); }
    wake.notify_all();
}

void KoTransceiverServer::queueForWorker(const std::string& connection) {
    {
        std::lock_guard<std::recursive_mutex> lock(queueLock);
        if (workerStopped) return;
        queue.emplace_back(connection, clientId);
        queuePending = true;
        if (!worker) {
            workerRunning = true;
            KoKessaJobOptions options;
            options.name = "KoTransceiverServer_bufferprocess" + name;
            options.callback = [this](KoKessaJobParametersAndResult* p) {
                workerRunning = false;
                wakeWorker();
                return p;
            };
            worker = scheduler.submit(
                [this](KoKessaJobParametersAndResult* p) {
                    workerLoop();
                    return p;
                },
                nullptr, options);
        }
    }
    wakeWorker();
}

void KoTransceiverServer::workerLoop() {
    while (workerRunning) {
        for (;;) {
            std::pair<std::string, std::string> entry;
            {
                std::lock_guard<std::recursive_mutex> lock(queueLock);
                if (queue.empty()) break;
                entry = std::move(queue.front());
                queue.pop_front();
                if (queue.empty()) queuePending = false;
            }
            if (!workerRunning) return;
            touch();
            try {
                processInput(entry.first, entry.second);
            } catch (const std::exception& error) {
                // One connection's failure must not end the service of the others.
                diagnostic(std::string("processInput failed: ") + error.what());
            }
        }
        // Woken by a delivery or a stop; no time-out, so an idle server sleeps.
        std::unique_lock<std::mutex> lock(waitLock);
        wake.wait(lock, [this] { return !workerRunning.load() || queuePending.load(); });
    }
}

void KoTransceiverServer::waitForJob(std::uint64_t job) {
    scheduler.cancel(job);
    while (!scheduler.hasResult(job)) std::this_thread::sleep_for(settings.teardownPoll);
    scheduler.takeResult(job);
}

void KoTransceiverServer::stopWorker() {
    std::optional<std::uint64_t> job;
    {
        std::lock_guard<std::recursive_mutex> lock(queueLock);
        workerStopped = true;
        job.swap(worker);
        workerRunning = false;
        queuePending = true;
    }
    wakeWorker();
    if (job) waitForJob(*job);
}
