#include "message/transceiver.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "jobs/combined_task.h"
#include "jobs/kessa_scheduler.h"
#include "message/x_header.h"
#include "message/server_header.h"
#include "message/transceiver_client.h"
#include "message/transceiver_connection.h"
#include "message/transceiver_layer.h"
#include "net/socket_ipvx.h"
#include "platform/processor.h"

namespace {

bool isServerCode(std::int32_t code) {
    return code == protocol::HTTP || code == protocol::HTTPS || code == protocol::VELKO ||
           code == protocol::VELKOS || code == protocol::DirectSocket;
}

bool isHookCode(std::int32_t code) {
    return code == protocol::HTTP || code == protocol::HTTPS || code == protocol::VELKO ||
           code == protocol::DirectSocket;
}

}  // namespace

KoTransceiver::KoTransceiver(KoKessaScheduler2& scheduler_, KoTransceiverSettings settings_)
    : scheduler(scheduler_), settings(settings_) {
    const std::size_t count = settings.loops != 0 ? settings.loops : platform::usableProcessors();
    for (std::size_t i = 0; i < std::max<std::size_t>(count, 1); ++i) {
        auto record = std::make_unique<LoopRecord>();
        record->loop = std::make_unique<KoEventLoop>(i);
        record->loop->setIdleTimeout(std::chrono::duration_cast<KoEventLoop::Clock::duration>(settings.connectionTimeout));
        loops.push_back(std::move(record));
    }
    createJoinedTask(housekeepingTask, std::string("housekeeping"));
    housekeeper = std::thread([this] { runHousekeeping(); });
}

KoTransceiver::~KoTransceiver() {
    {
        std::lock_guard<std::mutex> lock(housekeepingLock);
        housekeeping = false;
    }
    housekeepingWake.notify_all();
    if (housekeeper.joinable()) housekeeper.join();

    withdraw();

    // Layers first, so that no listener registers new connections while the
    // loops wind down.
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> servers;
    std::map<std::string, KoTransceiverClientRecord> ownClients;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        servers = serversByName;
        for (auto& [client, hooks] : hooksByClient)
            for (auto& [route, hook] : hooks) servers.emplace(hook->name, hook);
        for (auto& [clientName, record] : clients)
            for (auto& [id, layer] : record.layers) servers.emplace(layer->name, layer);
    }
    for (auto& [serverName, layer] : servers) layer->stop();

    StopLoops();
    // A layer's job may hold the last reference to it (a worker writing an
    // answer): the jobs end here, so no layer is destroyed on its own job.
    for (auto& [serverName, layer] : servers) layer->endJobs();

    for (auto& [serverName, layer] : servers) layer->detach(*this);
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        ownClients.swap(clients);
        serversByName.clear();
        hooksByClient.clear();
        hooksByDescription.clear();
    }
    for (auto& [clientName, record] : ownClients) record.client->Detach(*this);
    // Layers end their own jobs in their destructors, which run here when the
    // transceiver held the last reference.
    ownClients.clear();
    servers.clear();
    std::lock_guard<std::mutex> lock(listenersLock);
    listeners.clear();
}

bool KoTransceiver::send(std::string target, const KoJobMessage& message) {
    return KoCombinedTask::instance().post(target, message);
}

void KoTransceiver::postEnded(const std::string& target, const std::string& subject) {
    KoJobMessage message;
    message.code = job_code::ended;
    message.name = subject;
    send(target, message);
}

std::shared_ptr<KoTransceiverClient> KoTransceiver::AddClient(std::shared_ptr<KoTransceiverClient> client) {
    if (!client) return {};
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        if (clients.count(client->name) != 0) return {};
    }
    // The client's own lock is not taken under registryLock: the client
    // calls into the transceiver while it holds it.
    client->Attach(*this);
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    auto [it, added] = clients.emplace(client->name, KoTransceiverClientRecord{});
    if (!added) return {};
    it->second.client = client;
    return client;
}

void KoTransceiver::RemoveClient(const std::shared_ptr<KoTransceiverClient>& client) {
    if (!client) return;
    KoTransceiverClientRecord record;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        auto it = clients.find(client->name);
        if (it == clients.end()) return;
        record = std::move(it->second);
        clients.erase(it);
    }
    client->Detach(*this);
}

bool KoTransceiver::HasClient(const std::string& clientName) const {
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    return clients.count(clientName) != 0;
}

void KoTransceiver::SetLayerFactory(std::int32_t protocolCode, KoLayerFactory factory) {
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    layerFactories[protocolCode] = std::move(factory);
}

void KoTransceiver::SetHookFactory(std::int32_t protocolCode, KoLayerFactory factory) {
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    hookFactories[protocolCode] = std::move(factory);
}

void KoTransceiver::AddServer(std::string& resultName, KoTransceiverClient& client,
                              std::shared_ptr<KoXServerHeader> description, KoServerCallback callback) {
    if (!description) return;
    resultName = description->name;
    const std::int32_t code = description->ProtocolCode();
    KoLayerFactory factory;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        auto record = clients.find(client.name);
        if (record == clients.end()) return;
        if (!isServerCode(code)) {
            diagnostic("unknown protocol!! (3)");
            return;
        }
        if (record->second.layers.count(resultName) != 0) return;
        auto found = layerFactories.find(code);
        if (found == layerFactories.end() || !found->second)
            throw KoException("no protocol layer for " + protocol::SchemeNameOf(code), __LINE__, "kotransceiver");
        factory = found->second;
    }

    std::shared_ptr<KoTransceiverLayer> layer = factory(
        KoLayerRequest{*this, scheduler, client.name, resultName, client.name, description, description, callback});
    if (!layer) throw KoException("protocol layer was not built", __LINE__, "kotransceiver");
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        auto record = clients.find(client.name);
        if (record == clients.end()) return;  // removed meanwhile
        if (!record->second.layers.emplace(resultName, layer).second) return;
        record->second.registrations[resultName] = ServerRegistrationRecord(code, resultName);
        serversByName[layer->name] = layer;
    }
    wakeHousekeeping();
    layer->attach(*this);
    if (!layer->start()) {
        {
            std::lock_guard<std::recursive_mutex> lock(registryLock);
            serversByName.erase(layer->name);
            auto record = clients.find(client.name);
            if (record != clients.end()) {
                record->second.layers.erase(resultName);
                record->second.registrations.erase(resultName);
            }
        }
        layer->detach(*this);
        throw KoException("protocol layer did not start", __LINE__, "kotransceiver");
    }
}

void KoTransceiver::Dispatch(std::string& resultName, KoTransceiverClient& client,
                             std::shared_ptr<KoXHeader> description, KoServerCallback callback,
                             const std::string& joinedTask, bool flag) {
    std::lock_guard<std::recursive_mutex> dispatch(dispatchLock);
    if (!description) return;
    std::unique_lock<std::recursive_mutex> lock(registryLock);
    if (clients.count(client.name) == 0) return;
    const int kind = description->messageKind;
    if (kind == message_kind::Request) {
        const std::string route = description->Authority();
        std::shared_ptr<KoTransceiverLayer> service;
        auto& hooks = hooksByClient[client.name];
        if (auto it = hooks.find(route); it != hooks.end()) service = it->second;
        if (!service) {
            const std::int32_t code = description->ProtocolCode();
            if (!isHookCode(code)) {
                diagnostic("unknown protocol!! (2)");
                return;
            }
            auto found = hookFactories.find(code);
            if (found == hookFactories.end() || !found->second)
                throw KoException("no hook service for " + protocol::SchemeNameOf(code), __LINE__, "kotransceiver");
            service = found->second(
                KoLayerRequest{*this, scheduler, client.name, description->name, client.name, nullptr, description, callback});
            if (!service) throw KoException("hook service was not built", __LINE__, "kotransceiver");
            hooks[route] = service;
            hooksByDescription[description->name] = service;
            serversByName[service->name] = service;
            service->attach(*this);
        }
        lock.unlock();
        wakeHousekeeping();
        service->takeDescription(description, joinedTask, flag);
        resultName = description->name;
    } else if (kind == message_kind::Answer) {
        std::vector<std::shared_ptr<KoTransceiverLayer>> targets;
        for (const auto& item : description->routeItems)
            if (auto it = hooksByDescription.find(item); it != hooksByDescription.end()) targets.push_back(it->second);
        lock.unlock();
        for (auto& target : targets) target->takeDescription(description, joinedTask, flag);
    } else {
        diagnostic("unknown protocol!! (1)");
    }
}

void KoTransceiver::RegisterServer(const std::shared_ptr<KoTransceiverLayer>& server) {
    if (!server) return;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        serversByName[server->name] = server;
    }
    wakeHousekeeping();
}

void KoTransceiver::RemoveServer(const std::string& serverName) {
    std::shared_ptr<KoTransceiverLayer> released;
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    auto it = serversByName.find(serverName);
    if (it == serversByName.end()) return;
    released = std::move(it->second);
    serversByName.erase(it);
}

std::string KoTransceiver::AddConnection(std::shared_ptr<KoSocketIPvx> socket,
                                         std::shared_ptr<KoTransceiverConnection> connection,
                                         const std::string& hostText) {
    if (!socket || !connection) throw KoException("socket and connection must be defined", 1906, "src");
    Attach(std::move(socket), connection, hostText);
    return connection->name;
}

void KoTransceiver::RemoveConnection(const std::string& connectionName, bool notify) {
    auto connection = FindConnection(connectionName);
    if (connection) RemoveConnection(*connection, notify);
}

void KoTransceiver::RemoveConnection(KoTransceiverConnection& connection, bool notify) {
    KoEventLoop* loop = connection.Loop();
    if (loop != nullptr && loop->onLoopThread()) {
        closeOnLoop(connection, notify, false);
        return;
    }
    if (!unregister(connection)) return;
    if (notify && connection.tellsOwnerOfEnd()) postEnded(connection.owner(), connection.name);
    connection.withdraw();
    auto self = connection.weak_from_this().lock();
    if (loop != nullptr && self) {
        loop->post([this, self] { detachOnLoop(*self); });
    }
}

void KoTransceiver::WakeSender() {}

void KoTransceiver::SendNow(const std::string& connectionName) {
    if (auto connection = FindConnection(connectionName)) connection->requestFlush();
}

bool KoTransceiver::unregister(KoTransceiverConnection& connection) {
    auto expected = KoLoopSeat::Phase::registered;
    if (!connection.seat().phase.compare_exchange_strong(expected, KoLoopSeat::Phase::removed)) return false;
    openConnections.fetch_sub(1, std::memory_order_relaxed);
    if (KoEventLoop* loop = connection.Loop()) loopFor(loop).load.fetch_sub(1, std::memory_order_relaxed);
    if (connection.seat().openCount) connection.seat().openCount->fetch_sub(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(namesLock);
    if (connection.seat().registeredByName) {
        connectionsByName.erase(connection.name.str());
        connection.seat().registeredByName = false;
    }
    return true;
}

void KoTransceiver::WriteLog(std::string_view line) {
    if (KoEventLoop* loop = KoEventLoop::current()) {
        loop->log(line);
        return;
    }
    std::string text(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::size_t KoTransceiver::ConnectionCount() const { return openConnections.load(std::memory_order_relaxed); }

std::size_t KoTransceiver::ConnectionCount(const std::string& owner) const {
    std::size_t count = 0;
    for (const auto& record : loops) {
        std::lock_guard<std::mutex> lock(record->membersLock);
        for (const auto& connection : record->members)
            if (connection->Registered() && connection->owner() == owner) ++count;
    }
    return count;
}

std::vector<std::size_t> KoTransceiver::ConnectionsPerLoop() const {
    std::vector<std::size_t> counts;
    for (const auto& record : loops) {
        std::lock_guard<std::mutex> lock(record->membersLock);
        std::size_t count = 0;
        for (const auto& connection : record->members) count += connection->Registered() ? 1 : 0;
        counts.push_back(count);
    }
    return counts;
}

std::size_t KoTransceiver::NamedConnectionCount() const {
    std::lock_guard<std::mutex> lock(namesLock);
    return connectionsByName.size();
}

std::shared_ptr<KoTransceiverConnection> KoTransceiver::FindConnection(const std::string& connectionName) const {
    {
        std::lock_guard<std::mutex> lock(namesLock);
        auto it = connectionsByName.find(connectionName);
        if (it != connectionsByName.end()) {
            auto connection = it->second.lock();
            return connection && connection->Registered() ? connection : nullptr;
        }
    }
    // Asked for the first time: only a connection whose name was read can
    // be meant. It is found among the loops' members and remembered.
    std::shared_ptr<KoTransceiverConnection> found;
    for (const auto& record : loops) {
        std::lock_guard<std::mutex> lock(record->membersLock);
        for (const auto& connection : record->members) {
            if (connection->name.made() && connection->name.str() == connectionName) {
                found = connection;
                break;
            }
        }
        if (found) break;
    }
    if (!found) return nullptr;
    std::lock_guard<std::mutex> lock(namesLock);
    // Still registered under the lock: its removal, which comes later, takes
    // the entry out again.
    if (!found->Registered()) return nullptr;
    if (!found->seat().registeredByName) {
        connectionsByName[connectionName] = found;
        found->seat().registeredByName = true;
    }
    return found;
}

std::shared_ptr<KoTransceiverLayer> KoTransceiver::FindServer(const std::string& serverName) const {
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    auto it = serversByName.find(serverName);
    return it == serversByName.end() ? nullptr : it->second;
}
