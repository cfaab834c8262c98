// A protocol layer for the server tests: it echoes what a connection sends,
// or answers "FLOOD" with a large block, and records the job messages it is
// sent (code 1: a connection of its was dropped).
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "message/transceiver.h"
#include "server/listen/socket_server.h"

namespace server_test {

// Records every event a server reports.
class EventLog {
public:
    bool Record(const KoServerCallback_t& event) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
        arrived.notify_all();
        return true;
    }
    KoServerCallback callback() {
        return [this](const KoServerCallback_t& event) { return Record(event); };
    }
    bool WaitForKind(std::int32_t kind, std::size_t count = 1,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return CountLocked(kind) >= count; });
    }
    std::size_t Count(std::int32_t kind) {
        std::lock_guard<std::mutex> lock(mutex);
        return CountLocked(kind);
    }
    std::vector<KoServerCallback_t> OfKind(std::int32_t kind) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<KoServerCallback_t> out;
        for (const auto& e : events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }

private:
    std::size_t CountLocked(std::int32_t kind) const {
        std::size_t n = 0;
        for (const auto& e : events) n += e.kind == kind ? 1 : 0;
        return n;
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<KoServerCallback_t> events;
};

class EchoLayer : public KoTransceiverServerL0Socket {
public:
    static constexpr std::size_t floodSize = 32 * 1024 * 1024;

    using KoTransceiverServerL0Socket::KoTransceiverServerL0Socket;
    ~EchoLayer() override {
        withdraw();
        stopListener();
        stopWorker();
    }

    void processInput(const std::string& connection, const std::string& client) override {
        KoTransceiver* transceiver = AttachedTransceiver();
        if (transceiver == nullptr) return;
        auto target = transceiver->FindConnection(connection);
        if (!target) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            clients.insert(client);
        }
        std::string bytes;
        target->TakeInput(bytes);
        if (bytes.empty()) return;
        std::size_t accepted = 0;
        if (bytes == "FLOOD") {
            const std::string flood(floodSize, 'f');
            target->QueueBytes(flood.data(), flood.size(), accepted);
        } else {
            target->QueueBytes(bytes.data(), bytes.size(), accepted);
        }
        transceiver->WakeSender();
    }

    bool receive(KoJobMessage& message) override {
        if (message.code == 1) {
            std::lock_guard<std::mutex> lock(mutex);
            dropped.insert(message.name);
            droppedWake.notify_all();
        }
        return KoTransceiverServerL0Socket::receive(message);
    }

    bool WaitDropped(const std::string& connection, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return droppedWake.wait_for(lock, timeout, [&] { return dropped.count(connection) != 0; });
    }
    std::set<std::string> Clients() {
        std::lock_guard<std::mutex> lock(mutex);
        return clients;
    }

private:
    std::mutex mutex;
    std::condition_variable droppedWake;
    std::set<std::string> dropped;
    std::set<std::string> clients;
};

}  // namespace server_test
