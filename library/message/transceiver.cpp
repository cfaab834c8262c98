#include "message/transceiver.h"

#include <iostream>
#include <mutex>
#include <utility>

#include "foundation/exception.h"
#include "jobs/combined_task.h"
#include "jobs/kessa_scheduler.h"
#include "message/x_header.h"
#include "message/server_header.h"
#include "message/transceiver_client.h"
#include "message/transceiver_connection.h"
#include "message/transceiver_layer.h"
#include "net/socket_ipvx.h"

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
    endJob(receiveJob);
    endJob(sendJob);
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
}

void KoTransceiver::endJob(std::optional<std::uint64_t>& job) {
    if (!job) return;
    scheduler.cancel(*job);
    while (!scheduler.hasResult(*job)) std::this_thread::sleep_for(settings.teardownPoll);
    scheduler.takeResult(*job);
    job.reset();
}

bool KoTransceiver::send(std::string target, const KoJobMessage& message) {
    return KoCombinedTask::instance().post(target, message);
}

void KoTransceiver::postCode1(const std::string& target, const std::string& subject) {
    KoJobMessage message;
    message.code = 1;
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
            std::cout << "unknown protocol!! (3)" << std::endl;
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
    if (kind == 2) {
        const std::string route = description->Authority();
        std::shared_ptr<KoTransceiverLayer> service;
        auto& hooks = hooksByClient[client.name];
        if (auto it = hooks.find(route); it != hooks.end()) service = it->second;
        if (!service) {
            const std::int32_t code = description->ProtocolCode();
            if (!isHookCode(code)) {
                std::cout << "unknown protocol!! (2)" << std::endl;
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
        service->takeDescription(description, joinedTask, flag);
        resultName = description->name;
    } else if (kind == 1) {
        std::vector<std::shared_ptr<KoTransceiverLayer>> targets;
        for (const auto& item : description->routeItems)
            if (auto it = hooksByDescription.find(item); it != hooksByDescription.end()) targets.push_back(it->second);
        lock.unlock();
        for (auto& target : targets) target->takeDescription(description, joinedTask, flag);
    } else {
        std::cout << "unknown protocol!! (1)" << std::endl;
    }
}

std::string KoTransceiver::AddConnection(std::shared_ptr<KoSocketIPvx> socket,
                                         std::shared_ptr<KoTransceiverConnection> connection,
                                         const std::string& hostText) {
    if (!socket || !connection) throw KoException("socket and connection must be defined", 1906, "src");
    const std::string connectionName = connection->name;
    {
        std::scoped_lock lock(registryLock, connectionLock);
        if (loopsStopped) return connectionName;
        if (connections.count(connectionName) == 0) {
            Slot slot;
            slot.socket = socket;
            slot.connection = connection;
            slot.hostText = hostText;
            slot.fd = socket->fd() >= 0 ? socket->fd() : socket->fd4();
            slot.token = nextToken++;
            connectionsByName[connectionName] = connection;
            ++connectionsPerOwner[connection->owner];
            receiveChanges.push_back({true, slot});
            sendChanges.push_back({true, slot});
            connections.emplace(connectionName, std::move(slot));
        }
    }
    {
        std::lock_guard<std::recursive_mutex> lock(connectionLock);
        startLoopsLocked();
    }
    receiveWake.signal();
    // The send loop takes new connections in on its next wake; it is woken
    // now only when there is something to send already.
    if (connection->WantsToSend()) sendWake.signal();
    return connectionName;
}

void KoTransceiver::RemoveConnection(const std::string& connectionName, bool notify) {
    std::shared_ptr<KoTransceiverConnection> connection;
    {
        std::scoped_lock lock(registryLock, connectionLock);
        connectionsByName.erase(connectionName);
        auto it = connections.find(connectionName);
        if (it == connections.end()) return;
        connection = it->second.connection;
        // The loops hold the socket until they have taken it out of their
        // wait sets, so its descriptor cannot be reused under them.
        receiveChanges.push_back({false, it->second});
        sendChanges.push_back({false, it->second});
        auto owner = connectionsPerOwner.find(connection->owner);
        if (owner != connectionsPerOwner.end() && --owner->second == 0) connectionsPerOwner.erase(owner);
        connections.erase(it);
    }
    receiveWake.signal();
    sendWake.signal();
    if (notify) postCode1(connection->owner, connectionName);
    connection->withdraw();
}

void KoTransceiver::WakeSender() { sendWake.signal(); }

void KoTransceiver::WakeReceiver() {
    receiveRescan = true;
    receiveWake.signal();
}

void KoTransceiver::SendNow(const std::string& connectionName) {
    std::shared_ptr<KoSocketIPvx> socket;
    std::shared_ptr<KoTransceiverConnection> connection;
    {
        std::lock_guard<std::recursive_mutex> lock(connectionLock);
        auto it = connections.find(connectionName);
        if (it == connections.end() || loopsStopped) return;
        socket = it->second.socket;
        connection = it->second.connection;
    }
    if (!connection->WantsToSend()) return;
    bool stepped = false;
    int sent = 0;
    try {
        sent = connection->TrySendStep(*socket, stepped);
    } catch (...) {
        sent = KoTransceiverConnection::stepClosed;
    }
    if (stepped && sent < 0) {
        RemoveConnection(connectionName, true);
        return;
    }
    // The rest, or what a step running elsewhere left, is the loop's.
    if (connection->WantsToSend()) sendWake.signal();
}

void KoTransceiver::StopLoops() {
    receiving = false;
    sending = false;
    sendWake.signal();
    std::map<std::string, Slot> dropped;
    {
        std::scoped_lock lock(registryLock, connectionLock);
        loopsStopped = true;
        dropped.swap(connections);
        connectionsByName.clear();
        connectionsPerOwner.clear();
        receiveChanges.clear();
        sendChanges.clear();
    }
    receiveWake.signal();
    sendWake.signal();
}

std::size_t KoTransceiver::ConnectionCount() const {
    std::lock_guard<std::recursive_mutex> lock(connectionLock);
    return connections.size();
}

std::size_t KoTransceiver::ConnectionCount(const std::string& owner) const {
    std::lock_guard<std::recursive_mutex> lock(connectionLock);
    auto it = connectionsPerOwner.find(owner);
    return it == connectionsPerOwner.end() ? 0 : it->second;
}

std::shared_ptr<KoTransceiverConnection> KoTransceiver::FindConnection(const std::string& connectionName) const {
    std::lock_guard<std::recursive_mutex> lock(connectionLock);
    auto it = connections.find(connectionName);
    return it == connections.end() ? nullptr : it->second.connection;
}

std::shared_ptr<KoTransceiverLayer> KoTransceiver::FindServer(const std::string& serverName) const {
    std::lock_guard<std::recursive_mutex> lock(registryLock);
    auto it = serversByName.find(serverName);
    return it == serversByName.end() ? nullptr : it->second;
}
