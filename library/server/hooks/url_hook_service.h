// Server stack, hooks/: the outgoing side - URL hook services (this header),
// their connecting workers (url_hook_worker.h) and builders
// (url_hook_factories.h), the client-role TLS connection
// (hook_tls_connection.h), what they answer (hook_answers.h) and their
// settings (url_hook_settings.h).
// May use: listen, message, jobs, net, foundation.
//
// This header: KoURLHookService, the server-family job through which a
// client's outgoing requests to one remote authority run. It does not
// listen. Each request goes to a worker, a connecting server made by the
// service's worker factory; at most maxWorkers (10) workers exist at once,
// requests that find none free wait in `waiting` (a priority request at the
// front), and a worker that reports its task finished (job message kind 5)
// takes the next waiting request. A worker whose exchange has ended while its
// kind 5 is still on the way may be handed a request at once, so that a
// caller that sends again on its answer reuses the kept connection. A worker
// that has ended (kind 1) is forgotten.
//
// Routing: the transceiver keeps one service per client and authority
// (KoXHeader::Authority: scheme, user, host and port), so every worker of a
// service talks to the same remote server.
//
// dispatch() is the plain form: it connects a new worker on the calling
// thread (blocking for at most the connect and handshake time-outs) and, if
// that fails, hands the request back with `started` set. takeDescription(),
// which KoTransceiver::Dispatch calls, never blocks: a new worker is
// connected on a scheduler item of its own, and a request whose worker
// cannot start is answered with a 502 error answer through the answer sink.
//
// Kind 5 with "ctask" among the values makes the service post kind 6
// (name: the service, the same values) to the owning client.
//
// Ownership: the service owns its workers (shared) and the waiting requests
// (shared with their senders). Threads: any; bookkeeping under deliveryLock;
// factory calls, starts and hand-overs happen outside it. The destructor
// waits for the connect items it started.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "server/hooks/hook_answers.h"
#include "server/hooks/url_hook_settings.h"
#include "server/listen/job_server.h"
#include "server/listen/transceiver_server.h"

class KoKessaScheduler2;
class KoTransceiver;
class KoXHeader;

// Makes one worker: the scheduler, the transceiver, the owner's client
// identifier, the request's identifier, the request, the service's
// identifier and the service's callback.
using KoURLHookWorkerFactory = std::function<std::shared_ptr<KoTransceiverServerL0>(
    KoKessaScheduler2& scheduler, KoTransceiver& transceiver, const std::string& clientId,
    const std::string& messageId, std::shared_ptr<KoXHeader> message, const std::string& serviceId,
    KoServerCallback callback)>;

class KoURLHookService : public KoTransceiverServer {
public:
    static constexpr std::uint32_t defaultMaxWorkers = 10;

    KoURLHookService(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                     std::string serverId, std::string connectionTag, KoServerCallback callback,
                     KoURLHookWorkerFactory factory, KoURLHookAnswerSink sink, KoURLHookSettings settings = {});
    ~KoURLHookService() override;

    // Kind 1: a worker has ended; kind 5: a worker finished its task.
    bool receive(KoJobMessage& message) override;
    // Gives the request to an idle or new worker, or queues it (returns
    // null). Hands it back when a new worker could not start (started set)
    // or when there is no request or no transceiver.
    virtual std::shared_ptr<KoXHeader> dispatch(std::shared_ptr<KoXHeader> message, bool& started, bool priority);
    // Requests waiting for a worker.
    virtual std::size_t waitingCount();
    // Waiting requests plus workers that are not idle.
    virtual std::size_t load();

    // The non-blocking dispatch (flag: priority). Always true.
    bool takeDescription(std::shared_ptr<KoXHeader> description, const std::string& joinedTask,
                         bool flag) override;
    // A service does not listen: nothing to start.
    bool start() override;
    // Stops every worker.
    void stop() override;
    // Ends the connect jobs, every worker's jobs and its own worker.
    void endJobs() override;
    // Detaches the workers too.
    void detach(KoTransceiver& transceiver) override;
    // The service lives as long as its client's route; its workers expire.
    bool checkTimedOut() override;

    std::size_t WorkerCount();
    std::size_t IdleCount();

    std::uint32_t maxWorkers = defaultMaxWorkers;
    std::string hookName;  // a free label, empty at construction

protected:
    KoURLHookWorkerFactory factory;
    std::map<std::string, std::shared_ptr<KoTransceiverServerL0>> workers;
    std::set<std::string> idle;
    // Workers handed a request after their exchange ended but before its
    // kind 5 came: that kind 5 must not make them idle again.
    std::set<std::string> claimedEarly;
    std::deque<std::shared_ptr<KoXHeader>> waiting;

private:
    enum class Claim { queued, idle, fresh };

    // The workers now, taken under deliveryLock, to be called outside it.
    std::vector<std::shared_ptr<KoTransceiverServerL0>> workerList();

    // Under deliveryLock: an idle worker, a slot for a new one, or the
    // request queued. Expired idle workers are moved to `expired`.
    Claim claimLocked(const std::shared_ptr<KoXHeader>& message, bool priority,
                      std::shared_ptr<KoTransceiverServerL0>& worker,
                      std::vector<std::shared_ptr<KoTransceiverServerL0>>& expired);
    // Makes and starts a worker for a claimed slot; null when it did not start.
    std::shared_ptr<KoTransceiverServerL0> launch(const std::shared_ptr<KoXHeader>& message, std::string& reason);
    void forget(const std::shared_ptr<KoTransceiverServerL0>& worker);
    void dispatchLater(std::shared_ptr<KoXHeader> message, bool priority);
    void connectAndHand(std::shared_ptr<KoXHeader> message);
    // Answers a request that no worker could take.
    void refuse(const std::shared_ptr<KoXHeader>& message, const std::string& reason);
    // After a slot has freed: the front waiting request, if it can go now.
    void pump();
    void reapJobs(bool all);

    const KoURLHookSettings hookSettings;
    const KoURLHookAnswerSink sink;
    std::size_t starting = 0;  // claimed slots whose workers are being made

    std::mutex jobsLock;
    std::vector<std::uint64_t> connectJobs;
    std::atomic<bool> stopping{false};
};
