#include "app/velko_application.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "app/document_root_check.h"
#include "foundation/diagnostics.h"
#include "foundation/file_utils.h"
#include "foundation/text_utils.h"
#include "message/response_header.h"
#include "message/server_header.h"
#include "message/transceiver_client.h"
#include "server/hooks/url_hook_factories.h"
#include "server/layers/layer_factories.h"
#include "store/persistent_app_storage.h"

namespace {

std::string ValueOr(const std::map<std::string, std::string>& map, const std::string& key, const std::string& fallback = {}) {
    auto it = map.find(key);
    return it == map.end() ? fallback : it->second;
}

// No browser could be started: the user is told where to look instead.
void PrintOpenHint(const std::string& url) { diagnostic("please, open document at " + escapeForLog(url)); }

}  // namespace

KoVelkoApplication2::KoVelkoApplication2(KoPersistentAppStorage* store, std::vector<HostEntry> hosts_, Options options,
                                         KoApplicationSettings settings_)
    : settings(std::move(settings_)),
      scheduler_(settings.scheduler),
      opener(scheduler_, settings.launcher),
      transceiver_(std::make_unique<KoTransceiver>(scheduler_, settings.transceiver)),
      handle(store),
      hosts(std::move(hosts_)),
      options_(std::move(options)) {}

KoVelkoApplication2::~KoVelkoApplication2() {
    // CGI runs answer through the transceiver: end them while it exists.
    std::map<std::string, std::shared_ptr<KoRequestRouter>> stopping;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        stopping = routers;
    }
    for (auto& [name, router] : stopping) router->stop();
    // The servers report (kind 2) while they go, so they go while the
    // options and the registry still exist.
    transceiver_.reset();
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (HostEntry& host : hosts) host.client.reset();
    handlers.clear();
    anyCommand = false;
    routes = std::make_shared<KoRouteTable>();
    anyRoute = false;
}

void KoVelkoApplication2::initialize() {}

void KoVelkoApplication2::shutdown() {}

KoRouterConfig KoVelkoApplication2::routerConfig() const {
    KoRouterConfig config;
    // The API's document directory serves when no base directory is named.
    std::string root = ValueOr(options_, "_baseDirectoryHTTP");
    if (root.empty()) root = ValueOr(options_, "startpath");
    config.documentRoot = directoryPath(root);
    const std::string cgi = ValueOr(options_, "cgibinpath");
    config.cgiDirectory = cgi.empty() ? (config.documentRoot.empty() ? std::string() : config.documentRoot + "cgi-bin/")
                                      : directoryPath(cgi);
    config.phpBinary = ValueOr(options_, "_phpbinname", "php-cgi");
    config.commandUrl = ValueOr(options_, "_app_context_commandurl");
    return config;
}

std::shared_ptr<KoTransceiverClient> KoVelkoApplication2::findClient(const std::string& clientId) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const HostEntry& host : hosts) {
        if (host.client && host.client->name == clientId) return host.client;
    }
    return nullptr;
}

void KoVelkoApplication2::start() {
    // A layer hands its requests straight to its client's router.
    const KoRequestSinkSource sinks = [this](const std::string& clientId) {
        std::weak_ptr<KoRequestRouter> weak;
        {
            std::lock_guard<std::recursive_mutex> guard(lock);
            auto it = routers.find(clientId);
            if (it != routers.end()) weak = it->second;
        }
        return KoTransceiverServerL1HTTP::RequestSink(
            [weak](const std::string& source, std::shared_ptr<KoXHeader> request) {
                auto router = weak.lock();
                return router ? router->route(source, std::move(request)) : 0;
            });
    };
    // The client's router decides at each header's end what the body is for.
    const KoBodyPlannerSource planners = [this](const std::string& clientId) {
        std::weak_ptr<KoRequestRouter> weak;
        {
            std::lock_guard<std::recursive_mutex> guard(lock);
            auto it = routers.find(clientId);
            if (it != routers.end()) weak = it->second;
        }
        return KoBodyPlanner([weak](const KoXHeader& request) {
            auto router = weak.lock();
            return router ? router->planBody(request) : KoBodyPlan();
        });
    };
    // The layers write the access log themselves: a host's destination, or
    // the loop's log on standard output.
    KoHTTPSettings layers = settings.http;
    if (settings.accessLog) {
        layers.accessLog = [log = settings.accessLog](std::string_view line) { log(std::string(line)); };
    }
    KoInstallHTTPLayerFactory(*transceiver_, layers, sinks, planners);
    KoInstallProtocolLayerFactories(*transceiver_, layers, settings.tls, sinks, planners);
    // Answers to a client's outgoing requests go back to that client.
    KoInstallURLHookFactories(*transceiver_, settings.hooks,
                              [this](const std::string& clientId) { return url_hook::ClientAnswerSink(findClient(clientId)); });
    const Options copy = options();
    const KoRouterConfig config = [&] {
        std::lock_guard<std::recursive_mutex> guard(lock);
        return routerConfig();
    }();
    // Served all the same (the directory may appear later), but not in silence.
    const std::string rootProblem = KoDocumentRootProblem(config.documentRoot);
    if (!rootProblem.empty()) diagnostic(rootProblem + ": its files are answered 404 until it exists");
    KoHTTPSettings http = settings.http;
    // "_phppool" "off" brings back one php-cgi per PHP request.
    const std::string pool = ValueOr(copy, "_phppool");
    if (pool == "off" || pool == "0" || pool == "false" || pool == "no") http.php.enabled = false;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        auto client = koMakeSharedJob<KoTransceiverClient>(
            [this](const KoServerCallback_t& event) { return serverEvent(event); }, copy, this);
        auto router = std::make_shared<KoRequestRouter>(*transceiver_, *this, config, http);
        std::weak_ptr<KoRequestRouter> weakRouter = router;
        const KoTransceiverClient::Handler routed = [weakRouter](const std::string& source,
                                                                 std::shared_ptr<KoXHeader> request) {
            auto target = weakRouter.lock();
            return target ? target->route(source, std::move(request)) : 0;
        };
        client->SetRequestRouter(routed);
        // The router answers VELKO requests too (404).
        client->SetVELKOHandler(routed);
        auto registered = transceiver_->AddClient(client);
        HostEntry host;
        {
            std::lock_guard<std::recursive_mutex> guard(lock);
            hosts[i].client = registered;
            routers[client->name] = router;
            host = hosts[i];
        }
        if (!registered) continue;
        auto header = std::make_shared<KoXServerHeader>(static_cast<std::int32_t>(host.protocolCode), true);
        header->entries["tcp_port"] = std::to_string(host.port);
        header->entries["tcp_address"] = host.address;
        if (host.protocolCode == protocol::HTTPS || host.protocolCode == protocol::VELKOS) {
            header->entries["cacertificate"] = ValueOr(host.keys, "cacertificate", "cacert.pem");
            header->entries["privatekey"] = ValueOr(host.keys, "privatekey", "privkey.pem");
            if (!settings.keyPassphrase.empty()) header->entries["privatekeypassphrase"] = settings.keyPassphrase;
        }
        std::string serverName;
        registered->AddServerLayer(serverName, header);
    }
}

bool KoVelkoApplication2::serverEvent(const KoServerCallback_t& event) {
    if (settings.observer) settings.observer(event);
    if (event.kind == server_event::answerSent) {
        // A host's destination takes each line; else the transceiver writes
        // them, once per loop pass for the lines a loop produced.
        auto logging = event.values.find("logging");
        if (logging == event.values.end()) return true;
        if (settings.accessLog) {
            settings.accessLog(logging->second);
        } else {
            KoTransceiver::WriteLog(logging->second);
        }
        return true;
    }
    if (event.kind != server_event::listening) return true;
    const std::string address = ValueOr(event.values, "address");
    const std::string port = ValueOr(event.values, "port");
    const std::string protocolText = ValueOr(event.values, "protocolstring");
    std::string commandUrl;
    bool popup = false;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        commandUrl = ValueOr(options_, "_app_context_commandurl");
        if (protocolText == "http") {
            options_["tcp_port_http"] = port;
            options_["tcp_address_http"] = address;
        }
        if (protocolText == "https") {
            options_["tcp_port_https"] = port;
            options_["tcp_address_https"] = address;
        }
        popup = ValueOr(options_, "no_browser_popup").empty();
    }
    if (commandUrl.empty()) commandUrl = "/";
    if (popup && protocolText == "http" && !port.empty() && !address.empty()) {
        const std::string url = protocolText + "://" + address + ":" + port + commandUrl;
        if (!opener.open(url, "text/html")) PrintOpenHint(url);
    }
    return true;
}

std::unique_ptr<KoApplicationHandler> KoVelkoApplication2::createHandler(const std::string&) { return nullptr; }

KoApplicationHandler* KoVelkoApplication2::registerHandler(std::unique_ptr<KoApplicationHandler> handler) {
    if (!handler) return nullptr;
    std::lock_guard<std::recursive_mutex> guard(lock);
    KoApplicationHandler* raw = handler.get();
    handlers[raw->handlerName()] = std::move(handler);
    anyCommand = true;
    return raw;
}

void KoVelkoApplication2::removeHandler(const std::string& key) {
    std::shared_ptr<KoApplicationHandler> dropped;
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = handlers.find(key);
    if (it == handlers.end()) return;
    dropped = std::move(it->second);
    handlers.erase(it);
    anyCommand = !handlers.empty();
}

void KoVelkoApplication2::newIdentifier(std::string& out, const std::string& prefix) {
    std::lock_guard<std::mutex> guard(idLock);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    char digits[32];
    std::snprintf(digits, sizeof digits, "%07lld%011lld", static_cast<long long>(micros % 1'000'000),
                  static_cast<long long>(micros / 1'000'000));
    out = prefix + digits;
}

KoPersistentAppStorage* KoVelkoApplication2::serverHandle() { return handle; }

void KoVelkoApplication2::openDocument(const std::string& address_, std::int64_t port_, const std::string& protocolText) {
    std::string address = address_;
    std::int64_t port = port_;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (address.empty() && port == 0 && !hosts.empty()) {
            address = hosts.front().address;
            port = hosts.front().port;
        }
    }
    const std::string url = protocolText + "://" + address + ":" + std::to_string(port);
    if (!opener.open(url, "text/html")) PrintOpenHint(url);
}

bool KoVelkoApplication2::hasHandler(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return handlers.count(key) != 0;
}

bool KoVelkoApplication2::forwardToHandler(const std::string& key, KoXHeader& request, KoXResponseHeader& response,
                                           const std::string& command) {
    std::shared_ptr<KoApplicationHandler> handler;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        auto it = handlers.find(key);
        if (it == handlers.end() || !it->second) return false;
        handler = it->second;
    }
    // Not under the lock: a handler that blocks must not hold up the others.
    handler->message(request, response, command);
    std::unique_ptr<KoApplicationHandler> successor = handler->takeReplacement();
    if (!successor) return true;
    std::lock_guard<std::recursive_mutex> guard(lock);
    // Only the handler that ran hands its place on; a newer registration stays.
    auto it = handlers.find(key);
    if (it != handlers.end() && it->second == handler) it->second = std::move(successor);
    return true;
}

bool KoVelkoApplication2::hasCommands() { return anyCommand; }

bool KoVelkoApplication2::handlerMayBlock(const std::string& key) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = handlers.find(key);
    return it != handlers.end() && it->second && it->second->mayBlock();
}

std::shared_ptr<KoApplicationHandler> KoVelkoApplication2::routeHandler(const std::string& method,
                                                                        const std::string& path) {
    // Most servers have no routes: their requests take no lock here.
    if (!anyRoute.load(std::memory_order_acquire)) return nullptr;
    std::shared_ptr<const KoRouteTable> table;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        table = routes;
    }
    return table->empty() ? nullptr : table->find(method, path);
}

std::vector<std::string> KoVelkoApplication2::routeMethods(const std::string& method, const std::string& path) {
    if (!anyRoute.load(std::memory_order_acquire)) return {};
    std::shared_ptr<const KoRouteTable> table;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        table = routes;
    }
    return table->empty() ? std::vector<std::string>() : table->match(method, path).allowed;
}

void KoVelkoApplication2::addRoute(const std::string& method, const std::string& pattern,
                                   std::shared_ptr<KoApplicationHandler> handler) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto changed = std::make_shared<KoRouteTable>(*routes);
    changed->add(method, pattern, std::move(handler));
    routes = std::move(changed);
    anyRoute.store(true, std::memory_order_release);
}

bool KoVelkoApplication2::storeHas(const std::string& key) {
    if (handle == nullptr) return false;
    return handle->hasVariable(key);
}

bool KoVelkoApplication2::storeLookup(const std::string& key, KoXResponseHeader& message) {
    std::string value;
    if (handle != nullptr) value = ValueOr(handle->variableMap(), key);
    message.Input().sputn(value.data(), static_cast<std::streamsize>(value.size()));
    return true;
}

KoTransceiver& KoVelkoApplication2::transceiver() { return *transceiver_; }

KoKessaScheduler2& KoVelkoApplication2::scheduler() { return scheduler_; }

KoVelkoApplication2::Options KoVelkoApplication2::options() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return options_;
}

std::vector<HostEntry> KoVelkoApplication2::Hosts() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return hosts;
}
