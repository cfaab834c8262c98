// Server stack: KoTransceiverServerL0Socket, the socket server that every
// protocol layer derives from. A listening one runs a listener job: it binds
// the address and port of its server header (retrying while the port is
// taken, each failure a kind-3 event), reports kind 4 with the port actually
// bound, then accepts connections, creates a connection object for each
// (createConnection, which TLS layers override) and registers it with the
// transceiver (kind 5). Input then comes back as code-8 messages, which
// deliver() queues for the worker, which calls processInput.
//
// A connecting one (listening false) connects to remoteHost in start().
//
// Past the connection limit of the settings a new connection is accepted
// and closed at once; an accept that fails while a peer waits (out of
// descriptors) pauses the listener briefly instead of letting it spin.
//
// Teardown: stop() (or the destructor) clears `running`; the listener sees
// it within one accept wait (500 ms); the destructor waits for the job.
// Ownership: the server shares its header; the listener owns its endpoints;
// accepted endpoints and connections go to the transceiver. Threads: any.
// Failures: a port that is not a number ends the listener job
// (std::invalid_argument / std::out_of_range, written to standard error by
// the scheduler).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "message/server_header.h"
#include "message/transceiver_connection.h"
#include "server/transceiver_server_l0.h"

class KoSocketIPvx;

class KoTransceiverServerL0Socket : public KoTransceiverServerL0 {
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
    // Clears `running`; returns at once.
    void stop() override;
    // Ends the listener, then the worker.
    void endJobs() override;
    // Queues the connection for the worker.
    void deliver(const std::string& text) override;
    virtual std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                                      const std::string& serverIdentifier,
                                                                      const KoServerCallback_t& record,
                                                                      std::shared_ptr<KoSocketIPvx> socket);

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
    std::size_t connectionLimit() const;

    std::mutex listenerLock;  // guards listenerJob
    std::atomic<int> boundPort{0};
    mutable std::mutex hostTextLock;
    std::string hostText;
};
