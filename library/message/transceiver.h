// Message layer, exchange engine: KoTransceiver, which keeps the registry of
// clients (with their protocol layers and hook services) and serves every
// registered connection on one of its event loops (KoEventLoop): a loop
// per usable processor unless the settings say otherwise, each a scheduler
// job started with the first connection or listener.
//
// A connection belongs to one loop for its whole life: that loop reads and
// writes its socket, runs its deadlines and closes it; no other thread
// touches the socket. Accepted connections stay on the loop that accepted
// them: a listener's sockets are in every loop's wait set, each readiness
// wakes one loop (Listen), which accepts a bounded batch. Connections
// registered from other threads (AddConnection) go to the loops in turn.
// A loop keeps what it accepts unless it holds more connections than the
// least busy loop (then that loop takes it over, once), so that a burst of
// clients spreads over the loops. Sockets are non-blocking; one slow or
// silent peer never holds up others.
//
// Connections are found by pointer on the paths that serve them. Lookups
// by name (FindConnection, RemoveConnection, SendNow) cover the connections
// whose name somebody has read (a name is made only when first read, and
// reading it has no other effect): the first lookup of a name looks through
// the loops' members, and the registry remembers what it found.
//
// A housekeeping thread (its own, not a scheduler job) expires connecting
// servers (hook workers) past their time-out and tells their owners by
// code-1 job messages; it sleeps without a time limit while no server can
// expire. Connections have their deadlines in their loop's timers.
//
// Access log: WriteLog() appends a line to the calling loop's buffer (one
// write per loop pass), or writes it at once from any other thread.
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
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "jobs/job.h"
#include "message/event_loop.h"
#include "message/protocols.h"
#include "message/server_callback.h"
#include "message/transceiver_settings.h"

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

// What accepts the connections of listening sockets (Listen): called on
// whichever loop a listening socket woke, with that socket's descriptor.
// It accepts what is waiting (a bounded batch) and registers the
// connections with Attach, which keeps them on that loop. When accept
// fails for want of descriptors it says so: the loop then closes its
// longest-idle connections to make room, or, with none to close, leaves
// the socket alone for the pause the service names.
class KoListenerService {
public:
    enum class Accepted { done, outOfDescriptors };
    virtual Accepted acceptReady(int listeningFd) = 0;
    virtual std::chrono::milliseconds acceptPause() const { return std::chrono::milliseconds(50); }

protected:
    ~KoListenerService() = default;
};

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
    // Enters a server made by other means (a hook service's worker), so that
    // housekeeping expires it; RemoveServer forgets it.
    void RegisterServer(const std::shared_ptr<KoTransceiverLayer>& server);
    void RemoveServer(const std::string& name);

    // The builders of protocol layers (AddServer) and hook services
    // (Dispatch), one per protocol code; the server subsystem installs them.
    void SetLayerFactory(std::int32_t protocolCode, KoLayerFactory factory);
    void SetHookFactory(std::int32_t protocolCode, KoLayerFactory factory);

    // Registers a connection with its socket on a loop (the calling loop
    // when called on one) and returns the connection's name. A connection
    // registered before is left as it is. Throws KoException when either is
    // missing.
    std::string AddConnection(std::shared_ptr<KoSocketIPvx> socket,
                              std::shared_ptr<KoTransceiverConnection> connection,
                              const std::string& hostText = {});
    // The same without making the connection's name (accepting listeners).
    // False when the connection was registered before or the loops stopped.
    bool Attach(std::shared_ptr<KoSocketIPvx> socket, std::shared_ptr<KoTransceiverConnection> connection,
                const std::string& hostText = {});
    // Unregisters a connection; its loop closes the socket. With notify, the
    // connection's owner is told by a code-1 message.
    void RemoveConnection(const std::string& name, bool notify);
    void RemoveConnection(KoTransceiverConnection& connection, bool notify);
    // Output queued from any thread is written by each connection's loop on
    // its own; these remain for callers that ask for it.
    void WakeSender();
    // Writes what the named connection has queued (on its loop).
    void SendNow(const std::string& connectionName);
    // Ends the loops and forgets every connection.
    void StopLoops();
    // Closes every connection whose owner is owner (a layer that goes) and
    // returns once none is served any more.
    void DropConnections(const std::string& owner);

    // Puts a listener's sockets into every loop's wait set; acceptReady is
    // called on the loop a readiness woke. Unlisten takes them out again and
    // returns once no loop will call the service any more.
    void Listen(KoListenerService& service, const std::vector<int>& fds);
    void Unlisten(KoListenerService& service);

    // On a loop's thread, for a listener at its connection limit: closes
    // this loop's longest-resting connection (no request in progress) that
    // counts in counter, and returns true; with none here, asks the other
    // loops to close one each for the next peer and returns false.
    bool ShedIdleCountedIn(const std::shared_ptr<std::atomic<std::size_t>>& counter);

    // Writes one access-log line (see above).
    static void WriteLog(std::string_view line);

    std::size_t ConnectionCount() const;
    std::size_t ConnectionCount(const std::string& owner) const;
    std::shared_ptr<KoTransceiverConnection> FindConnection(const std::string& name) const;
    std::shared_ptr<KoTransceiverLayer> FindServer(const std::string& name) const;
    bool HasClient(const std::string& name) const;
    // Connections whose names are registered for lookups (for tests of the
    // registry's size).
    std::size_t NamedConnectionCount() const;
    // Event loops (started or not).
    std::size_t LoopCount() const { return loops.size(); }
    // Connections each loop holds now.
    std::vector<std::size_t> ConnectionsPerLoop() const;
    // What each loop holds now, as its own thread sees it (asked on each
    // loop in turn; empty entries for loops that are not running). For
    // tests and diagnostics: every count falls back to 0 when the
    // connections are gone.
    struct LoopState {
        std::size_t connections = 0;  // members of the loop
        std::size_t armedTimers = 0;
        std::size_t resting = 0;
        std::size_t watched = 0;  // descriptors in its wait set, wake-up and listeners included
    };
    std::vector<LoopState> LoopStates();

    const KoTransceiverSettings& Settings() const { return settings; }
    KoKessaScheduler2& Scheduler() { return scheduler; }

    // --- for the connections it serves, on their loop's thread ----------
    // Serves the connection: reads what events announce, then afterWork.
    void drive(KoTransceiverConnection& connection, unsigned events);
    // Writes, closes what is finished, serves what waits, and sets what the
    // loop waits for and when.
    void afterWork(KoTransceiverConnection& connection);
    // Writes what the socket takes; false when the connection failed (and
    // was closed).
    bool flush(KoTransceiverConnection& connection);
    // Ends it; notify tells its owner by code 1.
    void closeOnLoop(KoTransceiverConnection& connection, bool notify, bool orderly);
    void updateDeadline(KoTransceiverConnection& connection);

private:
    struct LoopRecord {
        std::unique_ptr<KoEventLoop> loop;
        std::optional<std::uint64_t> job;
        mutable std::mutex membersLock;
        // The connections the loop serves; each knows its slot.
        std::vector<std::shared_ptr<KoTransceiverConnection>> members;
        void add(std::shared_ptr<KoTransceiverConnection> connection);
        // The member taken out, or null when it was none.
        std::shared_ptr<KoTransceiverConnection> take(KoTransceiverConnection& connection);
        // Registered connections it serves (read by the others to balance).
        std::atomic<std::size_t> load{0};
    };
    struct ListenerWatch;

    void startLoops();
    void endLoops();
    LoopRecord& loopFor(KoEventLoop* loop);
    LoopRecord& pickLoop();
    void runHousekeeping();
    void housekeepingPass(bool& anyCanExpire);
    void postEnded(const std::string& target, const std::string& name);
    void wakeHousekeeping();

    // Connections, on their loop's thread.
    void attachOnLoop(const std::shared_ptr<KoTransceiverConnection>& connection);
    void detachOnLoop(KoTransceiverConnection& connection);
    void updateInterest(KoTransceiverConnection& connection);
    // Marks removed, drops it from the counts and the name registry; false
    // when it was not registered.
    bool unregister(KoTransceiverConnection& connection);
    // Closes the longest-idle rested connections of the calling loop; how
    // many it closed.
    std::size_t shedIdle(std::size_t count);
    // The same for connections counted in counter; how many it closed.
    std::size_t shedIdleCountedIn(const std::atomic<std::size_t>* counter, std::size_t count);

    KoKessaScheduler2& scheduler;
    const KoTransceiverSettings settings;

    std::recursive_mutex dispatchLock;

    mutable std::recursive_mutex registryLock;
    std::map<std::string, KoTransceiverClientRecord> clients;
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> serversByName;
    std::map<std::string, std::map<std::string, std::shared_ptr<KoTransceiverLayer>>> hooksByClient;
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> hooksByDescription;
    std::map<std::int32_t, KoLayerFactory> layerFactories;
    std::map<std::int32_t, KoLayerFactory> hookFactories;

    std::vector<std::unique_ptr<LoopRecord>> loops;
    std::mutex loopsLock;  // starting and stopping the loop jobs
    // Loops that have ended are no one's: the threads that let go of what
    // they held (endLoops, Unlisten) take turns.
    std::mutex endedLoopsLock;
    bool loopsStarted = false;
    std::atomic<bool> loopsStopped{false};
    std::atomic<std::size_t> nextLoop{0};
    std::atomic<std::size_t> openConnections{0};

    mutable std::mutex namesLock;
    mutable std::unordered_map<std::string, std::weak_ptr<KoTransceiverConnection>> connectionsByName;

    std::mutex listenersLock;
    std::vector<std::shared_ptr<ListenerWatch>> listeners;

    std::string housekeepingTask;
    std::atomic<bool> housekeeping{true};
    std::mutex housekeepingLock;
    std::condition_variable housekeepingWake;
    bool housekeepingNudged = false;  // under housekeepingLock
    std::thread housekeeper;
};
