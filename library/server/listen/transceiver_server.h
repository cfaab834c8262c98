// Server stack, listen/: the server family - the common base (this header),
// the job server (job_server.h), the socket server with its listener
// (socket_server.h) and their settings (server_settings.h). A server is a
// job that owns a listening socket (or one outgoing connection), accepts
// connections and passes their traffic through its work queue to a
// protocol layer's processInput.
// May use: message, jobs, net, foundation, platform.
//
// This header: KoTransceiverServer, the common base: identity, inactivity
// timer, work queue and its worker job, event callback, teardown.
//
// deliver() queues (connection, client) and wakes the worker, a scheduler
// job started with the first delivery; the worker calls processInput for
// each entry outside the queue lock. The destructor stops and waits for the
// worker, then reports a kind-2 event. A derived class whose processInput
// uses its own members calls withdraw() and its endJobs() first in its
// destructor, so that no delivery and no processInput runs into a
// half-destroyed object. endJobs() must not be reached from one of the
// server's own jobs; the transceiver calls it before it lets go of the
// server, so that the last reference never ends on one.
//
// Ownership: the server keeps plain references to its scheduler and to the
// transceiver it is attached to (attach/detach, under deliveryLock); both
// outlive it. Threads: any thread; the callback is called from the
// listener's thread, from senders of answers and from the destroying thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "jobs/job_message.h"
#include "message/server_callback.h"
#include "message/transceiver_layer.h"
#include "server/listen/server_settings.h"

class KoKessaScheduler2;
class KoTransceiver;
class KoXHeader;

class KoTransceiverServer : public KoTransceiverLayer {
public:
    KoTransceiverServer(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                        std::string serverId, std::string connectionTag, KoServerCallback callback,
                        bool listening, KoServerSettings settings = {});
    ~KoTransceiverServer() override;

    // Code 3: appends statusText to the message's items (a status query).
    bool receive(KoJobMessage& message) override;
    // A listening server never expires.
    bool checkTimedOut() override;
    bool canExpire() const override { return !listening; }
    // Serves the input of one connection; the base does nothing.
    virtual void processInput(const std::string& connection, const std::string& client);
    // Writes an answer on a connection; the base leaves the answer's joined
    // task and returns false.
    virtual bool writeMessage(const std::string& connection, std::shared_ptr<KoXHeader> message);
    void stop() override;
    // Ends the worker.
    void endJobs() override;
    bool attach(KoTransceiver& transceiver) override;
    void detach(KoTransceiver& transceiver) override;
    // The base only wakes the worker.
    virtual void deliver(const std::string& text);
    bool start() override;
    std::string connectionTagText() const override;

    // The attached transceiver, or null.
    KoTransceiver* AttachedTransceiver();
    const KoServerSettings& Settings() const { return settings; }
    // Entries waiting for the worker.
    std::size_t QueueLength();

    const bool listening;
    const std::string clientId;
    const std::string serverId;

protected:
    // Queues (connection, clientId) and starts the worker if needed.
    void queueForWorker(const std::string& connection);
    // Ends the worker job and waits for it; idempotent.
    void stopWorker();
    // Reports an event; an exception from the callback is written to
    // standard error and otherwise ignored.
    void report(const KoServerCallback_t& event);

    const KoServerSettings settings;
    KoKessaScheduler2& scheduler;
    KoTransceiver* transceiver = nullptr;  // under deliveryLock

    std::recursive_mutex queueLock;
    std::deque<std::pair<std::string, std::string>> queue;
    std::atomic<bool> queuePending{false};
    std::optional<std::uint64_t> worker;
    std::atomic<bool> workerRunning{false};
    std::mutex waitLock;
    std::condition_variable wake;

    mutable std::mutex textLock;
    std::string statusText;
    // Handed to every connection the server makes; never changes.
    const std::string connectionTag;
    KoServerCallback callback;
    std::string joinedTask;

private:
    void workerLoop();
    void wakeWorker();
    void waitForJob(std::uint64_t job);
    bool workerStopped = false;  // under queueLock
};
