// velko::Server over the library's own server handle: KoStartServer builds
// it (with the store prepared from the store file), the application's
// settings carry the access-log sink and an observer that tells the waiting
// constructor when the listener is bound or failed to bind, and commands and
// routes become KoHostHandler objects in the application's registry and
// route table.
#include "velkotwo/server.h"

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <utility>

#include "api/server_handle.h"
#include "api/velko_server_api.h"
#include "app/document_root_check.h"
#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "foundation/text_utils.h"
#include "host/event_stream_route.h"
#include "host/host_handler.h"
#include "host/live_channels.h"
#include "host/websocket_route.h"
#include "host/server_settings_for.h"
#include "message/server_callback.h"
#include "net/tls_context.h"
#include "store/stored_values_file.h"

namespace velko {

namespace {

const char* const kApplication = "velkotwodll";

// What the listener has reported; shared with the observer, which may
// outlive the constructor's wait.
struct Listening {
    std::mutex lock;
    std::condition_variable changed;
    int port = 0;
    bool bindFailed = false;
    std::string failure;  // where and why, for the exception
};

// Lines to an access-log file, one writer at a time.
struct LogFile {
    std::mutex lock;
    std::ofstream out;
};

std::function<void(const std::string&)> LogSink(const AccessLog& log) {
    switch (log.to) {
    case AccessLog::To::standardOutput:
        return nullptr;
    case AccessLog::To::nowhere:
        return [](const std::string&) {};
    case AccessLog::To::callback:
        if (!log.callback) return [](const std::string&) {};
        return log.callback;
    case AccessLog::To::file: {
        auto file = std::make_shared<LogFile>();
        file->out.open(log.file, std::ios::binary | std::ios::app);
        if (!file->out) throw KoException("could not open the access log " + log.file, __LINE__, "src");
        return [file](const std::string& line) {
            std::lock_guard<std::mutex> guard(file->lock);
            file->out << line << '\n';
            file->out.flush();
        };
    }
    }
    return nullptr;
}

}  // namespace

struct Server::State {
    ServerOptions options;
    // What the handlers do when they fail, shared by all of them.
    std::shared_ptr<const KoHostPolicy> policy;
    // WebSockets, event streams and streamed answers; ended before the
    // application goes.
    std::shared_ptr<KoLiveChannels> live = std::make_shared<KoLiveChannels>();
    std::unique_ptr<ServerHandle> handle;
    int port = 0;
    mutable std::mutex valuesLock;  // one change of the stored values at a time
    // Set once started; handlers read it while stop() waits for them, so it
    // is not the handle's pointer, which stop() changes meanwhile.
    std::atomic<KoVelkoApplication2*> running{nullptr};

    KoVelkoApplication2& application() {
        KoVelkoApplication2* application = running.load();
        if (application == nullptr) throw KoException("the server is stopped", __LINE__, "src");
        return *application;
    }
};

Server::Server(const ServerOptions& options) : state(std::make_unique<State>()) {
    state->options = options;
    auto policy = std::make_shared<KoHostPolicy>();
    policy->handlerError = options.handlerError;
    policy->showErrors = options.showHandlerErrors;
    policy->live = state->live;
    KoApplicationSettings settings = KoSettingsFor(options);
    policy->compression = settings.http.answerCompression;
    policy->fileCompression = settings.http.compression;
    state->policy = std::move(policy);
    settings.accessLog = LogSink(options.accessLog);
    auto listening = std::make_shared<Listening>();
    settings.observer = [listening](const KoServerCallback_t& event) {
        if (event.kind != server_event::listening && event.kind != server_event::bindFailed) return true;
        std::lock_guard<std::mutex> guard(listening->lock);
        if (event.kind == server_event::bindFailed) {
            if (listening->bindFailed) return true;
            listening->bindFailed = true;
            const auto value = [&event](const char* key) {
                auto it = event.values.find(key);
                return it == event.values.end() ? std::string() : it->second;
            };
            const std::string address = value("address");
            listening->failure = "Could not bind " + (address.empty() ? std::string("*") : address) + " port " +
                                 value("port");
            if (!value("reason").empty()) listening->failure += ": " + value("reason");
        } else {
            auto port = event.values.find("port");
            listening->port = port == event.values.end() ? 0 : static_cast<int>(parseUnsignedOr(port->second, 0));
        }
        listening->changed.notify_all();
        return true;
    };
    const std::string storeFile = options.storeFile;
    const auto prepareStore = [&storeFile](KoPersistentAppStorage& store) {
        velko::store::StoredValues values;
        if (storeFile.empty() || !velko::store::loadStoredValues(store, storeFile, kApplication, values)) return;
        store.setVariables(values);
        for (const auto& [name, text] : values) store.setTemplateValue(name, text);
    };
    // A root that is not there would answer 404 to everything.
    if (const std::string problem = KoDocumentRootProblem(options.documentRoot); !problem.empty()) {
        throw KoException(problem, __LINE__, "src");
    }
    const std::string cgi = options.cgiDirectory;
    const std::string certificate = options.https ? options.certificate : std::string();
    const std::string key = options.https ? options.key : std::string();
    try {
        state->handle = KoBuildServer(options.address.c_str(), options.port, options.documentRoot.c_str(), cgi.c_str(),
                                      certificate.c_str(), key.c_str(), options.https ? 4 : 3, settings, prepareStore);
    } catch (const KoTlsKeyPairError& error) {
        // The host is told why, not only that.
        throw KoException_SSL("problem with SSL key pair: " + error.cause(), __LINE__, "src");
    }
    bool bound = false;
    bool failed = false;
    std::string failure;
    {
        std::unique_lock<std::mutex> guard(listening->lock);
        listening->changed.wait_for(guard, options.listenWait,
                                    [&] { return listening->port != 0 || listening->bindFailed; });
        state->port = listening->port;
        bound = listening->port != 0;
        failed = listening->bindFailed;
        failure = listening->failure;
    }
    if (bound) {
        state->running = state->handle->application.get();
        state->live->start(state->handle->application->scheduler(), options.handlerConcurrency);
        return;
    }
    // Nothing is left running when the constructor throws.
    state->handle->application.reset();
    state->handle.reset();
    if (failed) throw KoException(failure, __LINE__, "src");
    throw KoException("the server did not listen within " + std::to_string(options.listenWait.count()) + " ms",
                      __LINE__, "src");
}

Server::~Server() { stop(); }

int Server::port() const { return state->port; }

void Server::onCommand(const std::string& id, Handler handler) {
    KoVelkoApplication2& application = state->application();
    if (!handler) {
        application.removeHandler(id);
        return;
    }
    application.registerHandler(std::make_unique<KoHostHandler>(id, std::move(handler), std::string(), state->policy));
}

void Server::on(const std::string& method, const std::string& path, Handler handler) {
    std::shared_ptr<KoHostHandler> route;
    if (handler) route = std::make_shared<KoHostHandler>(method + " " + path, std::move(handler), path, state->policy);
    state->application().addRoute(method, path, std::move(route));
}

void Server::onUpload(const std::string& method, const std::string& path, UploadHandler handler) {
    std::shared_ptr<KoHostHandler> route;
    if (handler) route = std::make_shared<KoHostHandler>(method + " " + path, std::move(handler), path, state->policy);
    state->application().addRoute(method, path, std::move(route));
}

void Server::webSocket(const std::string& path, WebSocketHandlers handlers, WebSocketOptions options) {
    std::shared_ptr<KoWebSocketRoute> route;
    if (handlers.onOpen || handlers.onMessage || handlers.onClose) {
        route = std::make_shared<KoWebSocketRoute>(path, std::move(handlers), std::move(options), state->live);
    }
    state->application().addRoute("GET", path, std::move(route));
}

void Server::events(const std::string& path, EventStreamHandlers handlers, EventStreamOptions options) {
    std::shared_ptr<KoEventStreamRoute> route;
    if (handlers.onOpen || handlers.onClose) {
        route = std::make_shared<KoEventStreamRoute>(path, std::move(handlers), options, state->live);
    }
    state->application().addRoute("GET", path, std::move(route));
}

std::size_t Server::broadcast(const std::string& group, const std::string& text) {
    return state->live->broadcast(group, text);
}

void Server::setValue(const std::string& name, const std::string& text) {
    std::lock_guard<std::mutex> guard(state->valuesLock);
    if (!state->handle) throw KoException("the server is stopped", __LINE__, "src");
    KoPersistentAppStorage& store = state->handle->store;
    auto values = store.variableMap();
    values[name] = text;
    store.setVariables(values);
    // The same values fill "[[name]]" markers.
    store.setTemplateValue(name, text);
}

std::string Server::value(const std::string& name, const std::string& fallback) const {
    std::lock_guard<std::mutex> guard(state->valuesLock);
    if (!state->handle) return fallback;
    const auto values = state->handle->store.variableMap();
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

bool Server::hasValue(const std::string& name) const {
    std::lock_guard<std::mutex> guard(state->valuesLock);
    return state->handle && state->handle->store.variableMap().count(name) != 0;
}

std::string Server::expand(const std::string& text) const {
    std::string expanded = text;
    std::lock_guard<std::mutex> guard(state->valuesLock);
    if (state->handle) state->handle->store.expandTemplate(expanded, "");
    return expanded;
}

void Server::saveValues() {
    std::lock_guard<std::mutex> guard(state->valuesLock);
    if (!state->handle || state->options.storeFile.empty()) return;
    KoPersistentAppStorage& store = state->handle->store;
    velko::store::saveStoredValues(store, state->options.storeFile, kApplication, store.variableMap());
}

void Server::stop() {
    if (!state || !state->handle) return;
    // Live channels end first: a producer or callback must not hold up the
    // handlers' end, and theirs runs on the application's scheduler.
    state->live->stop();
    if (state->handle->application) {
        state->handle->application->shutdown();
        // Handlers that run end here; the store outlives them.
        state->handle->application.reset();
    }
    state->running = nullptr;
    try {
        saveValues();
    } catch (const std::exception& error) {
        diagnostic(error.what());
    }
    std::lock_guard<std::mutex> guard(state->valuesLock);
    state->handle.reset();
}

}  // namespace velko
