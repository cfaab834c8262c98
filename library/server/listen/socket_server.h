// Server stack: KoTransceiverServerL0Socket, the socket server that every
// protocol layer derives from. A listening one runs a listener job: it binds
// the address and port of its server header (retrying while the port is
// taken, each failure a kind-3 event), reports kind 4 with the port actually
// bound, and hands the listening sockets to the transceiver's event loops
// (KoTransceiver::Listen). The loop a new peer wakes accepts it
// (acceptReady, a bounded batch), creates its connection object
// (createConnection, which TLS layers override) and keeps it (kind 5). Input
// then comes back as code-8 messages, which deliver() queues for the worker,
// which calls processInput; layers that serve on the loops override the
// connection's hooks instead.
//
// A connecting one (listening false) connects to remoteHost in start().
//
// At the connection limit of the settings the longest-idle connection of
// the server without a request in progress (on the accepting loop) is
// closed to make room for a new one; with none there, the new one is
// closed at once and the other loops make room for the next. When accept runs out of descriptors the loop closes
// its longest-idle connections to make room, or pauses accepting briefly.
// An exception from createConnection drops that one peer, with a line on
// standard error; accepting goes on.
//
// Teardown: stop() (or the destructor) clears `running` and wakes the
// listener job, which takes the sockets out of the loops and ends; the
// destructor waits for the job.
// Ownership: the server shares its header; the listener owns its endpoints;
// accepted endpoints and connections go to the transceiver. Threads: any.
// Failures: each failed bind is a kind-3 event whose "reason" says why (the
// system's text), after a diagnostic line naming the address and port. A
// port that is not a number from 0 to 65535 is one kind-3 event and a line,
// and ends the listener job: no retry could mend it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "message/server_header.h"
#include "message/transceiver.h"
#include "message/transceiver_connection.h"
#include "server/listen/job_server.h"

class KoSocketIPvx;

class KoTransceiverServerL0Socket : public KoTransceiverServerL0, public KoListenerService {
public:
    // Defaults of the header entries.
    static constexpr const char* defaultPort = "2098";
    static constexpr const char* defaultAddress = "127.0.0.1";

    KoTransceiverServerL0Socket(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                                std::string serverId, std::string connectionTag,
                                std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                                std::int32_t protocolCode, bool listening = true,
                                KoServerSettings settings = {});
    ~KoTransceiverServerL0Socket() override;

    // Submits the listener job (listening) or connects (connecting).
    bool start() override;
    // Clears `running` and wakes the listener; returns at once.
    void stop() override;
    // Ends the listener, then the worker.
    void endJobs() override;
    // Queues the connection for the worker.
    void deliver(const std::string& text) override;
    virtual std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                                      const std::string& serverIdentifier,
                                                                      const KoServerCallback_t& record,
                                                                      std::shared_ptr<KoSocketIPvx> socket);

    // On a loop: accepts the peers waiting on listeningFd.
    Accepted acceptReady(int listeningFd) override;
    std::chrono::milliseconds acceptPause() const override { return settings.acceptFailurePause; }

    // The port listened on, 0 until bound.
    int BoundPort() const { return boundPort.load(); }
    // "income_tcp://address:port" once bound.
    std::string HostText() const;
    // Connections this server has registered that are still open.
    std::size_t OpenConnections();
    bool Running() const { return running.load(); }

    // For connecting servers: where start() connects to.
    std::string remoteHost;
    int remotePort = 0;

    const std::int32_t protocolCode;
    const std::string protocolName;

protected:
    // Ends the listener job and waits for it; idempotent.
    void stopListener();

    std::shared_ptr<KoXServerHeader> header;
    std::atomic<bool> running{false};
    std::optional<std::uint64_t> listenerJob;

private:
    void listenerLoop();
    // Waits up to total in steps, leaving early when running is cleared.
    void pause(std::chrono::milliseconds total);
    // Waits until running is cleared.
    void waitForStop();
    void wakeListener();
    std::size_t connectionLimit() const;

    std::mutex listenerLock;  // guards listenerJob
    std::atomic<int> boundPort{0};
    mutable std::mutex hostTextLock;
    std::string hostText;
    std::mutex stopLock;
    std::condition_variable stopWake;

    // Set by the listener job while the loops accept for it.
    KoSocketIPvx* accepting = nullptr;
    KoTransceiver* acceptingFor = nullptr;
    std::string acceptingHost;
    bool servesType = false;  // the listener's protocol type is one served
    // What each loop (by its index) keeps between the batches it accepts,
    // made before the loops accept: the accepted event's record, in which a peer
    // changes only its address and port, and an endpoint for the next peer.
    struct AcceptPlace {
        KoServerCallback_t event{};
        std::string* remoteAddress = nullptr;  // in event
        std::string* remotePort = nullptr;
        std::shared_ptr<KoSocketIPvx> endpoint{};
    };
    std::vector<AcceptPlace> acceptPlaces;
    std::size_t limit = 0;
    // Open connections accepted here (the connections count themselves out).
    const std::shared_ptr<std::atomic<std::size_t>> openCount = std::make_shared<std::atomic<std::size_t>>(0);
};
