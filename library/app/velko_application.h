// Application: KoVelkoApplication2, the object a server handle owns. It
// holds the scheduler all server work runs on, the transceiver with the
// clients, servers and connections, the hosts to serve, its own option map
// and the registry of command handlers; `start` turns every host entry into
// a running server, the server callback records listening ports (where the
// exported ServerPort reads them) and hands the access log to its sink
// (standard output unless the settings name another). It also holds the
// host's routes (KoRouteTable), which the routers consult before files. The
// option "_phppool" set to "off" ("0", "false", "no") turns the pool of
// php-cgi processes off: every PHP request then starts a php-cgi of its own.
// May use: server, store, message, html, jobs, net, foundation, platform.
//
// Ownership: owns scheduler, transceiver, the clients (shared), the routers,
// the registered handlers and the routes (shared with a call in progress,
// so a handler replaced while it runs lives until it returns); the handle
// (back pointer) owns the store.
// Threads: start on the caller's thread; the callback on server threads;
// options, the handler registry and the routes are guarded by `lock`, which
// is never held while a handler runs (handlers may call back into the
// registry, and may run at once). Failures: start propagates KoException
// from client, transceiver or layer construction; addRoute those of
// KoRouteTable::add.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
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
#include "server/hooks/url_hook_settings.h"
#include "server/routing/http_settings.h"
#include "server/routing/route_table.h"
#include "server/routing/router.h"
#include "server/routing/router_services.h"

class KoPersistentAppStorage;
class KoTransceiverClient;

// The settings an application hands to what it builds; tests shorten them.
struct KoApplicationSettings {
    KoKessaSchedulerSettings scheduler;
    KoTransceiverSettings transceiver;
    KoHTTPSettings http;
    // TLS handshake deadlines and step bounds of the HTTPS layers.
    KoTlsSettings tls;
    // Opens the HTTPS hosts' encrypted private keys; empty: none may be.
    std::string keyPassphrase;
    // Outgoing requests (AddRoute): time-outs, peer verification.
    KoURLHookSettings hooks;
    // Opens browsers; tests replace it.
    KoBrowserLauncher launcher;
    // Takes each access-log line (without its line end); empty: standard
    // output.
    std::function<void(const std::string& line)> accessLog;
    // Told of every server event before the application handles it (on the
    // threads that report them).
    KoServerCallback observer;
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
    // Drops the handler registered under key (a call in progress finishes).
    virtual void removeHandler(const std::string& key);
    virtual void newIdentifier(std::string& out, const std::string& prefix);
    virtual KoPersistentAppStorage* serverHandle();
    virtual void openDocument(const std::string& address, std::int64_t port, const std::string& protocol);
    virtual bool hasHandler(const std::string& key);
    bool forwardToHandler(const std::string& key, KoXHeader& request, KoXResponseHeader& response,
                          const std::string& command) override;
    bool storeHas(const std::string& key) override;
    bool storeLookup(const std::string& key, KoXResponseHeader& message) override;
    bool hasCommands() override;
    bool handlerMayBlock(const std::string& key) override;
    std::shared_ptr<KoApplicationHandler> routeHandler(const std::string& method, const std::string& path) override;
    std::vector<std::string> routeMethods(const std::string& method, const std::string& path) override;
    // Enters the host's route (KoRouteTable's patterns); a null handler
    // removes it.
    virtual void addRoute(const std::string& method, const std::string& pattern,
                          std::shared_ptr<KoApplicationHandler> handler);
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
    std::map<std::string, std::shared_ptr<KoApplicationHandler>> handlers;
    // Whether handlers holds any; read for every request without the lock.
    std::atomic<bool> anyCommand{false};
    // Replaced whole on change, so a lookup copies a pointer under the lock.
    std::shared_ptr<const KoRouteTable> routes = std::make_shared<KoRouteTable>();
    // Whether a route was ever added; read for every request without the lock.
    std::atomic<bool> anyRoute{false};
    std::map<std::string, std::shared_ptr<KoRequestRouter>> routers;  // by client name
    std::mutex idLock;
    const std::string idPrefix = "id";
};
