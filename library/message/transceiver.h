// Message layer, exchange engine: KoTransceiver, which keeps the registry of
// clients (with their protocol layers and hook services) and of connections,
// and serves every registered connection with one receive loop and one send
// loop, both scheduler jobs started with the first connection.
//
// The loops block in a readiness wait over all their descriptors plus a
// wake-up descriptor; AddConnection, RemoveConnection, WakeSender and
// StopLoops signal it. Sockets are non-blocking: the send loop writes what a
// socket takes and waits for it to become writable again before it tries the
// rest, so one slow or silent peer never holds up the others.
//
// A housekeeping thread (its own, not a scheduler job) drops connections
// idle past the connection time-out and connecting servers past theirs, and
// tells their owners by code-1 job messages.
//
// Ownership: the transceiver holds shared references to clients, layers,
// sockets and connections; connections and layers hold plain references back
// to it, so it must outlive them (its destructor stops the loops and the
// layers first). Threads: every public operation may be called from any
// thread. AddConnection throws KoException when socket or connection is
// missing; the loops never throw, a failing connection is removed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "jobs/job.h"
#include "message/protocols.h"
#include "message/server_callback.h"
#include "message/transceiver_settings.h"
#include "platform/wake_up.h"

class KoKessaScheduler2;
class KoTransceiver;
class KoSocketIPvx;
class KoTransceiverClient;
class KoTransceiverConnection;
class KoTransceiverLayer;
class KoXHeader;
class KoXServerHeader;

// A client and the layers created on its behalf, by description name.
struct KoTransceiverClientRecord {
    std::shared_ptr<KoTransceiverClient> client;
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> layers;
    std::map<std::string, KoStringMap> registrations;
};

// What a layer factory is given to build one layer.
struct KoLayerRequest {
    KoTransceiver& transceiver;
    KoKessaScheduler2& scheduler;
    std::string clientId;
    std::string serverId;
    std::string connectionTag;
    std::shared_ptr<KoXServerHeader> header;  // protocol layers
    std::shared_ptr<KoXHeader> description;   // the description itself
    KoServerCallback callback;
};

using KoLayerFactory = std::function<std::shared_ptr<KoTransceiverLayer>(const KoLayerRequest&)>;

class KoTransceiver : public KoJob {
public:
    explicit KoTransceiver(KoKessaScheduler2& scheduler, KoTransceiverSettings settings = {});
    ~KoTransceiver() override;
    KoTransceiver(const KoTransceiver&) = delete;
    KoTransceiver& operator=(const KoTransceiver&) = delete;

    // Posts the message to the dispatcher.
    bool send(std::string target, const KoJobMessage& message) override;

    // Registers a client; an empty pointer when its name is taken.
    virtual std::shared_ptr<KoTransceiverClient> AddClient(std::shared_ptr<KoTransceiverClient> client);
    virtual void RemoveClient(const std::shared_ptr<KoTransceiverClient>& client);
    // Routes a description to a hook service of the client (created by the
    // hook factory of its protocol code when there is none yet).
    virtual void Dispatch(std::string& name, KoTransceiverClient& client,
                          std::shared_ptr<KoXHeader> description, KoServerCallback callback,
                          const std::string& joinedTask, bool flag);
    // Builds, attaches and starts the protocol layer of a description for a
    // registered client. name becomes the description's name. Throws
    // KoException when the layer cannot be built or started.
    virtual void AddServer(std::string& name, KoTransceiverClient& client,
                           std::shared_ptr<KoXServerHeader> description, KoServerCallback callback);

    // The builders of protocol layers (AddServer) and hook services
    // (Dispatch), one per protocol code; the server subsystem installs them.
    void SetLayerFactory(std::int32_t protocolCode, KoLayerFactory factory);
    void SetHookFactory(std::int32_t protocolCode, KoLayerFactory factory);

    // Registers a connection with its socket and starts the loops; returns
    // the connection's name. A second connection under a known name is
    // ignored. Throws KoException when either is missing.
    std::string AddConnection(std::shared_ptr<KoSocketIPvx> socket,
                              std::shared_ptr<KoTransceiverConnection> connection,
                              const std::string& hostText = {});
    // Unregisters a connection; the socket closes once the loops let go of
    // it. With notify, the connection's owner is told by a code-1 message.
    void RemoveConnection(const std::string& name, bool notify);
    // Tells the send loop that output was queued.
    void WakeSender();
    // Tells the receive loop that a transport step outside it left input in
    // a connection's transport (TransportHoldsInput) that no readiness event
    // will announce.
    void WakeReceiver();
    // Writes what the connection has queued from the calling thread, as far
    // as its socket takes it now, and leaves the rest to the send loop: an
    // answer that fits the socket goes out without waking the loop.
    void SendNow(const std::string& connectionName);
    // Ends both loops and forgets every connection.
    void StopLoops();

    std::size_t ConnectionCount() const;
    std::size_t ConnectionCount(const std::string& owner) const;
    std::shared_ptr<KoTransceiverConnection> FindConnection(const std::string& name) const;
    std::shared_ptr<KoTransceiverLayer> FindServer(const std::string& name) const;
    bool HasClient(const std::string& name) const;

    const KoTransceiverSettings& Settings() const { return settings; }
    KoKessaScheduler2& Scheduler() { return scheduler; }

private:
    struct Slot {
        std::shared_ptr<KoSocketIPvx> socket;
        std::shared_ptr<KoTransceiverConnection> connection;
        std::string hostText;
        int fd = -1;
        std::uint64_t token = 0;
    };
    // A registration or removal that a loop applies to its wait set.
    struct LoopChange {
        bool add = false;
        Slot slot;
    };

    void startLoopsLocked();
    void runReceiveLoop();
    void runSendLoop();
    void runHousekeeping();
    void housekeepingPass();
    void endJob(std::optional<std::uint64_t>& job);
    void postCode1(const std::string& target, const std::string& name);

    KoKessaScheduler2& scheduler;
    const KoTransceiverSettings settings;

    std::recursive_mutex dispatchLock;

    mutable std::recursive_mutex registryLock;
    std::map<std::string, KoTransceiverClientRecord> clients;
    std::map<std::string, std::shared_ptr<KoTransceiverConnection>> connectionsByName;
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> serversByName;
    std::map<std::string, std::map<std::string, std::shared_ptr<KoTransceiverLayer>>> hooksByClient;
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> hooksByDescription;
    std::map<std::int32_t, KoLayerFactory> layerFactories;
    std::map<std::int32_t, KoLayerFactory> hookFactories;

    mutable std::recursive_mutex connectionLock;
    std::map<std::string, Slot> connections;
    std::map<std::string, std::size_t> connectionsPerOwner;
    std::vector<LoopChange> receiveChanges;
    std::vector<LoopChange> sendChanges;
    std::uint64_t nextToken = 1;
    bool loopsStopped = false;  // set for good by StopLoops

    std::atomic<bool> receiving{false};
    std::atomic<bool> receiveRescan{false};
    std::atomic<bool> sending{false};
    std::optional<std::uint64_t> receiveJob;
    std::optional<std::uint64_t> sendJob;
    platform::WakeUp receiveWake;
    platform::WakeUp sendWake;

    std::string housekeepingTask;
    std::atomic<bool> housekeeping{true};
    std::mutex housekeepingLock;
    std::condition_variable housekeepingWake;
    std::thread housekeeper;
};
