// Application: KoVelkoApplication2, the object a server handle owns. It
// holds the scheduler all server work runs on, the transceiver with the
// clients, servers and connections, the hosts to serve, its own option map
// and the registry of command handlers; `start` turns every host entry into
// a running server, the server callback records listening ports (where the
// exported ServerPort reads them) and prints the access log.
// May use: server, store, message, html, jobs, net, foundation, platform.
//
// Ownership: owns scheduler, transceiver, the clients (shared), the routers
// and the registered handlers; the handle (back pointer) owns the store.
// Threads: start on the caller's thread; the callback on server threads;
// options and the handler registry are guarded by `lock` (recursive, so a
// handler may call back into the registry). Failures: start propagates
// KoException from client, transceiver or layer construction.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/document_opener.h"
#include "app/host_entry.h"
#include "jobs/kessa_scheduler.h"
#include "message/server_callback.h"
#include "message/transceiver.h"
#include "net/tls_session.h"
#include "server/http_settings.h"
#include "server/router.h"
#include "server/router_services.h"
#include "server/url_hook_settings.h"

class KoPersistentAppStorage;
class KoTransceiverClient;

// The settings an application hands to what it builds; tests shorten them.
struct KoApplicationSettings {
    KoKessaSchedulerSettings scheduler;
    KoTransceiverSettings transceiver;
    KoHTTPSettings http;
    // TLS handshake deadlines and step bounds of the HTTPS layers.
    KoTlsSettings tls;
    // Outgoing requests (AddRoute): time-outs, peer verification.
    KoURLHookSettings hooks;
    // Opens browsers; tests replace it.
    KoBrowserLauncher launcher;
};

class KoVelkoApplication2 : public KoRouterServices {
public:
    using Options = std::map<std::string, std::string>;

    // store may be null (no variables then).
    KoVelkoApplication2(KoPersistentAppStorage* store, std::vector<HostEntry> hosts, Options options,
                        KoApplicationSettings settings = {});
    virtual ~KoVelkoApplication2();
    KoVelkoApplication2(const KoVelkoApplication2&) = delete;
    KoVelkoApplication2& operator=(const KoVelkoApplication2&) = delete;

    virtual void initialize();
    virtual void start();
    virtual void shutdown();
    std::unique_ptr<KoApplicationHandler> createHandler(const std::string& key) override;
    // Stores the handler under its name (replacing, and destroying, an
    // earlier one); returns a plain pointer to it, or null for null.
    virtual KoApplicationHandler* registerHandler(std::unique_ptr<KoApplicationHandler> handler);
    virtual void newIdentifier(std::string& out, const std::string& prefix);
    virtual KoPersistentAppStorage* serverHandle();
    virtual void openDocument(const std::string& address, std::int64_t port, const std::string& protocol);
    virtual bool hasHandler(const std::string& key);
    bool forwardToHandler(const std::string& key, KoXHeader& request, KoXResponseHeader& response,
                          const std::string& command) override;
    bool storeHas(const std::string& key) override;
    bool storeLookup(const std::string& key, KoXResponseHeader& message) override;
    virtual KoTransceiver& transceiver();
    virtual KoKessaScheduler2& scheduler();
    virtual Options options();

    // The server callback given to every server.
    bool serverEvent(const KoServerCallback_t& event);
    std::vector<HostEntry> Hosts();

private:
    KoRouterConfig routerConfig() const;
    std::shared_ptr<KoTransceiverClient> findClient(const std::string& clientId);

    const KoApplicationSettings settings;
    KoKessaScheduler2 scheduler_;
    KoDocumentOpener opener;
    // Released first in the destructor: its servers report into this object.
    std::unique_ptr<KoTransceiver> transceiver_;
    KoPersistentAppStorage* const handle;
    std::vector<HostEntry> hosts;
    Options options_;
    std::recursive_mutex lock;
    std::map<std::string, std::unique_ptr<KoApplicationHandler>> handlers;
    std::map<std::string, std::shared_ptr<KoRequestRouter>> routers;  // by client name
    std::mutex idLock;
    const std::string idPrefix = "id";
};
