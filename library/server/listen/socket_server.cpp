#include "server/listen/socket_server.h"

#include <algorithm>
#include <exception>
#include <iostream>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "jobs/kessa_scheduler.h"
#include "message/protocols.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#include "platform/socket.h"
#include "platform/process_limits.h"

namespace {

void dropConnection(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection.name, false);
}

int parsePort(const std::string& text) {
    const unsigned long value = std::stoul(text);
    if (value > 65535) throw std::out_of_range("port out of range: " + text);
    return static_cast<int>(value);
}

}  // namespace

KoTransceiverServerL0Socket::KoTransceiverServerL0Socket(
    KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_, std::string clientId_, std::string serverId_,
    std::string connectionTag_, std::shared_ptr<KoXServerHeader> header_, KoServerCallback callback_,
    std::int32_t protocolCode_, bool listening_, KoServerSettings settings_)
    : KoTransceiverServerL0(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                            std::move(connectionTag_), std::move(callback_), listening_, settings_),
      protocolCode(protocolCode_),
      protocolName(protocol::TypeNameOf(protocolCode_)),
      header(std::move(header_)) {}

KoTransceiverServerL0Socket::~KoTransceiverServerL0Socket() {
    withdraw();
    KoTransceiverServerL0Socket::endJobs();
}

bool KoTransceiverServerL0Socket::start() {
    if (!listening) {
        KoTransceiver* target = AttachedTransceiver();
        if (target == nullptr) return false;
        auto socket = std::make_shared<KoSocketIPvx>();
        if (socket->Connect(remoteHost, remotePort) != KoSocketIPvx::statusOk) return false;
        KoServerCallback_t record;
        record.kind = server_event::accepted;
        record.values["remoteaddress"] = remoteHost;
        record.values["remoteport"] = std::to_string(remotePort);
        record.values["ID"] = name;
        auto connection = createConnection(*target, name, record, socket);
        const std::string connectionName = target->AddConnection(socket, connection, {});
        std::lock_guard<std::mutex> lock(textLock);
        statusText = connectionName;
        return true;
    }
    std::lock_guard<std::mutex> lock(listenerLock);
    if (listenerJob) return true;
    if (!header) return false;
    running = true;
    KoKessaJobOptions options;
    options.name = "KoTransceiverServerL0" + protocolName + name;
    options.callback = [this](KoKessaJobParametersAndResult* p) {
        running = false;
        wakeListener();
        return p;
    };
    listenerJob = scheduler.submit(
        [this](KoKessaJobParametersAndResult* p) {
            listenerLoop();
            return p;
        },
        nullptr, options);
    return true;
}

void KoTransceiverServerL0Socket::stop() {
    running = false;
    wakeListener();
}

void KoTransceiverServerL0Socket::wakeListener() {
    { std::lock_guard<std::mutex> lock(stopLock); }
    stopWake.notify_all();
}

void KoTransceiverServerL0Socket::waitForStop() {
    std::unique_lock<std::mutex> lock(stopLock);
    stopWake.wait(lock, [this] { return !running.load(); });
}

void KoTransceiverServerL0Socket::endJobs() {
    stopListener();
    KoTransceiverServer::endJobs();
}

void KoTransceiverServerL0Socket::stopListener() {
    running = false;
    wakeListener();
    std::optional<std::uint64_t> job;
    {
        std::lock_guard<std::mutex> lock(listenerLock);
        job.swap(listenerJob);
    }
    if (!job) return;
    scheduler.cancel(*job);
    while (!scheduler.hasResult(*job)) std::this_thread::sleep_for(settings.teardownPoll);
    scheduler.takeResult(*job);
}

void KoTransceiverServerL0Socket::deliver(const std::string& text) { queueForWorker(text); }

std::shared_ptr<KoTransceiverConnection> KoTransceiverServerL0Socket::createConnection(
    KoTransceiver& target, const std::string& serverIdentifier, const KoServerCallback_t& record,
    std::shared_ptr<KoSocketIPvx>) {
    return std::make_shared<KoTransceiverConnection>(target, serverIdentifier, connectionTag, record,
                                                     dropConnection);
}

std::string KoTransceiverServerL0Socket::HostText() const {
    std::lock_guard<std::mutex> lock(hostTextLock);
    return hostText;
}

std::size_t KoTransceiverServerL0Socket::OpenConnections() {
    if (listening) return openCount->load(std::memory_order_relaxed);
    KoTransceiver* target = AttachedTransceiver();
    return target == nullptr ? 0 : target->ConnectionCount(name);
}

std::size_t KoTransceiverServerL0Socket::connectionLimit() const {
    if (settings.maxConnections != 0) return settings.maxConnections;
    return std::max<std::size_t>(16, platform::descriptorLimit() / 4 * 3);
}

void KoTransceiverServerL0Socket::pause(std::chrono::milliseconds total) {
    const auto step = std::max(std::chrono::milliseconds(1), std::min(total, settings.bindRetryStep));
    const auto until = std::chrono::steady_clock::now() + total;
    while (running && std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            step, until - std::chrono::steady_clock::now()));
    }
}

void KoTransceiverServerL0Socket::listenerLoop() {
    KoSocketIPvx listener;
    const std::string portText = header->Lookup("tcp_port", defaultPort);
    const std::string address = header->Lookup("tcp_address", defaultAddress);

    KoServerCallback_t record;
    record.kind = server_event::bindFailed;
    record.values["address"] = address;
    record.values["ID"] = name;
    record.values["protocolstring"] = header->SchemeName();

    int requestedPort = 0;
    try {
        requestedPort = parsePort(portText);
    } catch (const std::logic_error&) {
        // No retry can mend it: said once, named as the owner knows it.
        record.values["port"] = portText;
        record.values["reason"] = "not a port number (0 to 65535)";
        diagnostic("Could not bind " + address + " port " + escapeForLog(portText) + ": " + record.values["reason"]);
        report(record);
        return;
    }
    int port = requestedPort;
    bool bound = listener.Listen(address, port, settings.backlog) == KoSocketIPvx::statusOk;
    record.values["port"] = std::to_string(port);

    while (!bound && running) {
        // Why, beside where: the owner may pass it on (the listener's line
        // went to the diagnostics already).
        record.values["reason"] = listener.listenFailure();
        report(record);
        pause(settings.bindRetryInterval);
        if (!running) break;
        port = requestedPort;
        bound = listener.Listen(address, port, settings.backlog) == KoSocketIPvx::statusOk;
    }
    if (!bound || !running) return;
    record.values.erase("reason");

    // The port the system chose for port 0.
    record.kind = server_event::listening;
    record.values["port"] = std::to_string(port);
    boundPort = port;
    {
        std::lock_guard<std::mutex> lock(hostTextLock);
        hostText = HostString(address, port);
    }
    KoTransceiver* target = AttachedTransceiver();
    if (target == nullptr) return;
    // Accepted sockets inherit it: answers are written whole, and a short
    // last piece must not wait for the peer's acknowledgement of the one
    // before.
    for (int fd : {listener.fd(), listener.fd4()})
        if (fd >= 0) platform::setNoDelay(fd, true);
    accepting = &listener;
    acceptingFor = target;
    acceptingHost = HostText();
    // The type is the listener's own, the same for every peer.
    servesType = IsKnownType(KoStringMap{{description_key::type, protocolName}});
    KoServerCallback_t event;
    event.kind = server_event::accepted;
    event.values["localaddress"] = record.values["address"];
    event.values["localport"] = record.values["port"];
    event.values["localprotocolstring"] = record.values["protocolstring"];
    event.values["ID"] = name;
    acceptPlaces.assign(target->LoopCount(), AcceptPlace{.event = event});
    for (AcceptPlace& place : acceptPlaces) {
        place.remoteAddress = &place.event.values["remoteaddress"];
        place.remotePort = &place.event.values["remoteport"];
    }
    limit = connectionLimit();
    report(record);

    target->Listen(*this, {listener.fd(), listener.fd4()});
    waitForStop();
    // No loop accepts for this listener once Unlisten returns.
    target->Unlisten(*this);
    accepting = nullptr;
    acceptPlaces.clear();
}

KoListenerService::Accepted KoTransceiverServerL0Socket::acceptReady(int listeningFd) {
    // Bounded, so that one loop does not take a whole burst while the
    // others idle.
    constexpr int batch = 32;
    static const KoHostFilter admitAll = [](KoHostInfo_t&) { return true; };
    KoSocketIPvx* const listener = accepting;
    KoTransceiver* const target = acceptingFor;
    const KoEventLoop* loop = KoEventLoop::current();
    if (listener == nullptr || target == nullptr || loop == nullptr || loop->index() >= acceptPlaces.size())
        return Accepted::done;
    if (!servesType) return Accepted::done;
    AcceptPlace& place = acceptPlaces[loop->index()];
    KoServerCallback_t& event = place.event;
    std::string& remoteAddress = *place.remoteAddress;
    std::string& remotePort = *place.remotePort;
    // Kept for the next peer (in this batch or the next) when nobody came
    // or the peer was refused.
    std::shared_ptr<KoSocketIPvx>& accepted = place.endpoint;
    for (int i = 0; i < batch; ++i) {
        if (!accepted || accepted->fd() >= 0) accepted = std::make_shared<KoSocketIPvx>();
        platform::Error failure;
        KoHostInfo_t peer;
        const int fd = listener->AcceptWaiting(listeningFd, *accepted, settings.admit ? settings.admit : admitAll,
                                               &failure, &peer);
        if (fd == KoSocketIPvx::acceptNobody) break;
        if (fd < 0) {
            if (failure.outOfDescriptors()) return Accepted::outOfDescriptors;
            continue;
        }
        // At the limit the longest-idle connection without a request in
        // progress makes room; with none here, the peer is closed at once
        // and the other loops make room for the next.
        if (openCount->load(std::memory_order_relaxed) >= limit && !target->ShedIdleCountedIn(openCount)) {
            accepted.reset();
            continue;
        }

        remoteAddress = std::move(peer.address);
        remotePort = std::move(peer.port);

        std::shared_ptr<KoTransceiverConnection> connection;
        try {
            connection = createConnection(*target, name, event, accepted);
        } catch (const std::exception& error) {
            // This peer only: the socket closes here, the listener goes on.
            diagnostic("could not serve " + remoteAddress + ":" + remotePort + ": " +
                       error.what());
            accepted.reset();
            continue;
        }
        if (!connection) {
            accepted.reset();
            continue;
        }
        connection->CountIn(openCount);
        if (!target->Attach(std::exchange(accepted, nullptr), connection, acceptingHost)) continue;
        report(event);
    }
    return Accepted::done;
}
