// The receive and send loops and the housekeeping thread of KoTransceiver.
#include <chrono>
#include <exception>
#include <functional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "message/transceiver_connection.h"
#include "message/transceiver_layer.h"
#include "net/socket_ipvx.h"
#include "platform/poller.h"

namespace {

// Tag of the wake-up descriptor in a loop's wait set; connection tokens
// start at 1.
constexpr std::uint64_t wakeTag = 0;
// Send steps per connection and pass, so that one large answer does not
// keep the others waiting.
constexpr int sendRoundsPerPass = 4;
// Pause after a failed readiness wait (out of memory and the like), so the
// loop does not spin while the condition lasts.
constexpr std::chrono::milliseconds waitFailurePause{10};

constexpr unsigned endOrError = platform::hangup | platform::failed | platform::invalid;

template <class Step>
int guardedStep(Step&& step) {
    try {
        return step();
    } catch (...) {
        return KoTransceiverConnection::stepClosed;
    }
}

}  // namespace

void KoTransceiver::startLoopsLocked() {
    if (loopsStopped) return;
    if (!receiveJob) {
        receiving = true;
        KoKessaJobOptions options;
        options.name = "KoTransceiver_tcp_rcv" + name;
        options.callback = [this](KoKessaJobParametersAndResult* p) {
            receiving = false;
            receiveWake.signal();
            return p;
        };
        receiveJob = scheduler.submit(
            [this](KoKessaJobParametersAndResult* p) {
                runReceiveLoop();
                return p;
            },
            nullptr, options);
    }
    if (!sendJob) {
        sending = true;
        KoKessaJobOptions options;
        options.name = "KoTransceiver_tcp_snd" + name;
        options.callback = [this](KoKessaJobParametersAndResult* p) {
            sending = false;
            sendWake.signal();
            return p;
        };
        sendJob = scheduler.submit(
            [this](KoKessaJobParametersAndResult* p) {
                runSendLoop();
                return p;
            },
            nullptr, options);
    }
}

void KoTransceiver::runReceiveLoop() {
    platform::Poller poller;
    if (receiveWake.valid()) poller.add(receiveWake.fd(), platform::readable, wakeTag);
    std::unordered_map<std::uint64_t, Slot> watched;
    // Connections whose transport holds input no readiness event announces.
    std::unordered_set<std::uint64_t> holding;
    std::vector<LoopChange> changes;
    std::vector<platform::Poller::Event> events;
    std::vector<std::string> marked;

    while (receiving) {
        {
            std::lock_guard<std::recursive_mutex> lock(connectionLock);
            changes.swap(receiveChanges);
        }
        for (auto& change : changes) {
            if (change.add) {
                if (change.slot.fd < 0 || !poller.add(change.slot.fd, platform::readable, change.slot.token))
                    marked.push_back(change.slot.connection->name);
                else {
                    // A handshake made before it came may have left input.
                    if (change.slot.connection->TransportHoldsInput()) holding.insert(change.slot.token);
                    watched.emplace(change.slot.token, std::move(change.slot));
                }
            } else if (auto it = watched.find(change.slot.token); it != watched.end()) {
                poller.remove(it->second.fd);
                holding.erase(it->first);
                watched.erase(it);
            }
        }
        changes.clear();

        // Bytes that a transport step holds back (a TLS record already read)
        // are not announced by the socket: the connections known to hold
        // some are drained, all of them when a send step asked for it.
        if (receiveRescan.exchange(false)) {
            for (auto& entry : watched)
                if (entry.second.connection->TransportHoldsInput()) holding.insert(entry.first);
        }
        for (auto it = holding.begin(); it != holding.end();) {
            auto found = watched.find(*it);
            if (found != watched.end()) {
                Slot& slot = found->second;
                guardedStep([&] { return slot.connection->InputArrived(nullptr, 0); });
                if (slot.connection->TransportHoldsInput()) {
                    ++it;
                    continue;
                }
            }
            it = holding.erase(it);
        }
        const bool held = !holding.empty();

        if (marked.empty()) {
            auto waited = poller.wait(held ? 0 : -1, events);
            if (!waited.ok()) {
                std::this_thread::sleep_for(waitFailurePause);
                events.clear();
            }
            for (const auto& event : events) {
                if (event.tag == wakeTag) {
                    receiveWake.drain();
                    continue;
                }
                auto it = watched.find(event.tag);
                if (it == watched.end()) continue;
                if ((event.ready & (platform::readable | endOrError)) == 0) continue;
                Slot& slot = it->second;
                const int n = guardedStep([&] { return slot.connection->ReceiveStep(*slot.socket); });
                if (n >= 0 && slot.connection->TransportHoldsInput()) holding.insert(event.tag);
                if (n < 0) {
                    // Out of the wait set now; the registry removal below
                    // sends the change that drops the slot.
                    poller.remove(slot.fd);
                    marked.push_back(slot.connection->name);
                }
            }
        }
        for (const auto& connectionName : marked) RemoveConnection(connectionName, true);
        marked.clear();
    }
}

void KoTransceiver::runSendLoop() {
    platform::Poller poller;
    if (sendWake.valid()) poller.add(sendWake.fd(), platform::readable, wakeTag);
    std::unordered_map<std::uint64_t, Slot> watched;
    // Connections whose socket was full: skipped until it is writable.
    std::unordered_set<std::uint64_t> blocked;
    std::vector<LoopChange> changes;
    std::vector<platform::Poller::Event> events;
    std::vector<std::string> marked;

    while (sending) {
        {
            std::lock_guard<std::recursive_mutex> lock(connectionLock);
            changes.swap(sendChanges);
        }
        for (auto& change : changes) {
            if (change.add) {
                if (change.slot.fd >= 0) watched.emplace(change.slot.token, std::move(change.slot));
            } else if (auto it = watched.find(change.slot.token); it != watched.end()) {
                if (blocked.erase(it->first) != 0) poller.remove(it->second.fd);
                watched.erase(it);
            }
        }
        changes.clear();

        bool more = false;
        for (auto& entry : watched) {
            const std::uint64_t token = entry.first;
            Slot& slot = entry.second;
            if (blocked.count(token) != 0 || !slot.connection->WantsToSend()) continue;
            int n = 0;
            int rounds = 0;
            bool stepped = true;
            do {
                n = guardedStep([&] { return slot.connection->TrySendStep(*slot.socket, stepped); });
            } while (stepped && n > 0 && slot.connection->WantsToSend() && ++rounds < sendRoundsPerPass);
            // A thread writing at once wakes the loop for what it leaves.
            if (!stepped) continue;
            if (n < 0) {
                marked.push_back(slot.connection->name);
            } else if (slot.connection->WantsToSend()) {
                if (n > 0) {
                    more = true;  // still taking bytes: come back without waiting
                } else if (poller.add(slot.fd, platform::writable, token)) {
                    blocked.insert(token);
                } else {
                    marked.push_back(slot.connection->name);
                }
            }
        }

        if (marked.empty()) {
            auto waited = poller.wait(more ? 0 : -1, events);
            if (!waited.ok()) {
                std::this_thread::sleep_for(waitFailurePause);
                events.clear();
            }
            for (const auto& event : events) {
                if (event.tag == wakeTag) {
                    sendWake.drain();
                    continue;
                }
                if (blocked.erase(event.tag) == 0) continue;
                auto it = watched.find(event.tag);
                if (it != watched.end()) poller.remove(it->second.fd);
                // The next pass sends; a failed socket makes that step fail.
            }
        }
        for (const auto& connectionName : marked) RemoveConnection(connectionName, true);
        marked.clear();
    }
}

void KoTransceiver::runHousekeeping() {
    while (housekeeping) {
        housekeepingPass();
        std::unique_lock<std::mutex> lock(housekeepingLock);
        housekeepingWake.wait_for(lock, settings.housekeepingInterval, [this] { return !housekeeping.load(); });
    }
}

void KoTransceiver::housekeepingPass() {
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> servers;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        servers = serversByName;
    }
    std::vector<std::pair<std::string, std::string>> expiredServers;  // name, connection tag
    for (auto& [serverName, layer] : servers)
        if (layer->checkTimedOut()) expiredServers.emplace_back(serverName, layer->connectionTagText());
    servers.clear();
    for (const auto& [serverName, tag] : expiredServers) {
        postCode1(tag, serverName);
        KoJobMessage stop;
        stop.code = 3;
        stop.name = serverName;
        send(serverName, stop);
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        serversByName.erase(serverName);
    }

    std::this_thread::yield();
    // Checked in place rather than on a copy: with thousands of idle
    // connections the copy was most of what an idle server did.
    std::vector<std::pair<std::string, std::string>> idle;  // name, owner
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        for (auto& [connectionName, connection] : connectionsByName)
            if (connection->checkTimedOut()) idle.emplace_back(connectionName, connection->owner);
    }
    for (const auto& [connectionName, owner] : idle) {
        postCode1(owner, connectionName);
        std::shared_ptr<KoTransceiverConnection> connection;
        {
            std::lock_guard<std::recursive_mutex> lock(registryLock);
            auto it = connectionsByName.find(connectionName);
            if (it == connectionsByName.end()) continue;
            connection = it->second;
            connectionsByName.erase(it);
        }
        try {
            connection->Process();
        } catch (const std::exception&) {
            // A connection without a handler is still dropped below.
        }
        // Idle connections go whatever their handler did.
        RemoveConnection(connectionName, false);
    }
    std::this_thread::yield();
}
