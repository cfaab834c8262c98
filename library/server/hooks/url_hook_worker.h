// Server stack: KoURLHookWorker, the connecting server that carries out the
// exchanges of a URL hook service with one remote authority, one request at
// a time.
//
// start() connects to remoteHost and remotePort (from the first request's
// host and port; 80 or 443 when the port is 0), performs the TLS handshake
// when the worker has a TLS context, registers the connection with the
// transceiver and keeps its identifier in statusText. It blocks for at most
// the connect and handshake time-outs of the settings, so it runs on a
// scheduler item of its own, never in the engine's loops. A failed start
// returns false and leaves the reason in statusText.
//
// takeDescription() writes one request (WriteHeader, then the body of a
// POST) on the connection. The answer is read with KoXHeader's parser as it
// arrives (framed by Content-Length, chunks, or the end of the stream) and
// handed to the answer sink under the request's name. The request then
// leaves its joined task, and the worker posts a kind-5 job message (name:
// the worker, values: see url_hook::ResultValues) to its service, whose
// identifier is the worker's connection tag. A worker whose connection has
// ended, or that must close after its answer, also posts kind 1 and counts
// as timed out from then on, so that no further request is given to it.
//
// A remote server that stays silent for the answer time-out (from the
// hand-over, and again from each byte of the answer) ends the exchange with
// a 504 error answer; a connection lost before the answer was complete, or
// an answer the parser refuses, with a 502. DirectSocket workers (code 9)
// send the request's body as it is and take everything the peer sends until
// it closes as the answer.
//
// Ownership: the worker owns its socket endpoint and connection (shared with
// the transceiver while registered) and shares the requests it serves.
// Threads: any; exchange state is guarded by exchangeLock, and the sink and
// job messages are called without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/tls_context.h"
#include "server/hooks/hook_answers.h"
#include "server/hooks/url_hook_settings.h"
#include "server/listen/socket_server.h"

class KoURLHookWorker : public KoTransceiverServerL0Socket {
public:
    // tlsContext: the client-role context for HTTPS, null for plain TCP.
    KoURLHookWorker(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                    std::string messageId, std::shared_ptr<KoXHeader> message, std::string serviceId,
                    KoServerCallback callback, KoURLHookAnswerSink sink, KoURLHookSettings settings,
                    std::shared_ptr<const KoTlsContext> tlsContext);
    ~KoURLHookWorker() override;

    bool start() override;
    // Ends the watch and the worker.
    void endJobs() override;
    // Code 1 naming the worker's connection: the connection has ended.
    bool receive(KoJobMessage& message) override;
    // Writes the request; false when the worker is busy or not connected.
    bool takeDescription(std::shared_ptr<KoXHeader> description, const std::string& joinedTask,
                         bool flag) override;
    void processInput(const std::string& connection, const std::string& client) override;
    // True for good once the connection has ended or must not be reused;
    // otherwise the inactivity time-out.
    bool checkTimedOut() override;
    std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                              const std::string& serverIdentifier,
                                                              const KoServerCallback_t& record,
                                                              std::shared_ptr<KoSocketIPvx> socket) override;

    bool Busy() const;
    // An exchange has ended and the kept connection can take the next one.
    bool Resting() const;
    std::string ConnectionName() const;

private:
    // What the end of an exchange hands on, outside the lock.
    struct Outcome {
        std::shared_ptr<KoXHeader> request;
        std::shared_ptr<KoXHeader> answer;
    };

    void feedLocked(const std::string& bytes, std::optional<Outcome>& outcome);
    void takeInputLocked(std::optional<Outcome>& outcome);
    Outcome endLocked(std::shared_ptr<KoXHeader> answer, bool reusable);
    Outcome failLocked(std::int32_t status, const std::string& reason);
    void finish(std::optional<Outcome> outcome);
    void connectionEnded();
    void watch();
    void startWatch();
    void stopWatch();
    void post(std::uint32_t code, const KoStringMap& values);
    std::string writeRequest(KoXHeader& request);

    const KoURLHookSettings hookSettings;
    const std::shared_ptr<const KoTlsContext> tlsContext;
    const KoURLHookAnswerSink sink;
    const std::string authority;
    const std::string serviceId;

    mutable std::mutex exchangeLock;
    std::shared_ptr<KoSocketIPvx> socket;
    std::shared_ptr<KoTransceiverConnection> connection;
    std::string connectionName;
    std::shared_ptr<KoXHeader> current;
    std::shared_ptr<KoXResponseHeader> answer;
    bool headerEnded = false;
    bool readToClose = false;  // the answer's body runs to the end of the stream
    std::string closeBody;
    std::chrono::steady_clock::time_point deadline{};
    bool lost = false;      // the connection has ended
    bool reusable = true;   // false once it must close
    bool endedPosted = false;
    std::uint64_t exchangesEnded = 0;

    std::mutex watchLock;
    std::optional<std::uint64_t> watchJob;
};
