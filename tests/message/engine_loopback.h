// Test helpers for the exchange engine and the servers: connected loopback
// socket pairs, bounded reads and writes, and a job that records the
// messages it receives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jobs/job.h"
#include "net/socket_ipvx.h"
#include "platform/poller.h"

namespace engine_test {

using Clock = std::chrono::steady_clock;

// Two connected endpoints over 127.0.0.1: `accepted` as a listener would
// hand it to the engine, `peer` as the remote side.
struct LoopbackPair {
    std::shared_ptr<KoSocketIPvx> accepted;
    std::shared_ptr<KoSocketIPvx> peer;
};

inline LoopbackPair MakePair() {
    KoSocketIPvx listener;
    int port = 0;
    LoopbackPair pair;
    if (listener.Listen("127.0.0.1", port, 16) != KoSocketIPvx::statusOk) return pair;
    pair.peer = std::make_shared<KoSocketIPvx>();
    if (pair.peer->Connect("127.0.0.1", port) != KoSocketIPvx::statusOk) return {};
    pair.accepted = std::make_shared<KoSocketIPvx>();
    if (listener.Accept(*pair.accepted, 2000, [](KoHostInfo_t&) { return true; }) < 0) return {};
    return pair;
}

// Sends all bytes, waiting for room; false on failure or after timeout.
inline bool SendAll(KoSocketIPvx& socket, const std::string& bytes,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto until = Clock::now() + timeout;
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t sent = 0;
        socket.Send(bytes.data() + done, bytes.size() - done, sent);
        done += sent;
        if (done == bytes.size()) break;
        if (Clock::now() > until) return false;
        auto ready = platform::waitDescriptor(socket.fd(), platform::writable, 50);
        if (ready.ok() && (ready.value() & (platform::failed | platform::invalid)) != 0) return false;
    }
    return true;
}

// Reads until `count` bytes arrived, the peer closed, or timeout.
inline std::string ReadAtLeast(KoSocketIPvx& socket, std::size_t count,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string out;
    const auto until = Clock::now() + timeout;
    char buffer[16384];
    while (out.size() < count && !socket.closed() && Clock::now() < until) {
        auto ready = platform::waitDescriptor(socket.fd(), platform::readable, 20);
        if (!ready.ok() || ready.value() == 0) continue;
        std::size_t received = 0;
        socket.Receive(buffer, sizeof buffer, received);
        out.append(buffer, received);
    }
    return out;
}

// True when the peer closes within timeout (bytes that come first are
// dropped).
inline bool ClosesWithin(KoSocketIPvx& socket, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    char buffer[4096];
    while (Clock::now() < until) {
        auto ready = platform::waitDescriptor(socket.fd(), platform::readable, 20);
        if (!ready.ok() || ready.value() == 0) continue;
        std::size_t received = 0;
        socket.Receive(buffer, sizeof buffer, received);
        if (socket.closed() || socket.lastError() != 0) return true;
    }
    return false;
}

// Waits until pred holds or timeout; returns pred's last answer.
inline bool Eventually(const std::function<bool()>& pred,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto until = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A job the dispatcher knows, which records what it receives.
class MessageSink : public KoJob {
public:
    MessageSink() { createJoinedTask(task, std::string("sink")); }
    ~MessageSink() override { withdraw(); }

    bool receive(KoJobMessage& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(message);
        arrived.notify_all();
        return true;
    }

    // Waits until a message with the code (and, if given, the name) came.
    bool WaitFor(std::uint32_t code, const std::string& about = {},
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return CountLocked(code, about) > 0; });
    }

    std::size_t Count(std::uint32_t code, const std::string& about = {}) {
        std::lock_guard<std::mutex> lock(mutex);
        return CountLocked(code, about);
    }

    std::string task;

private:
    std::size_t CountLocked(std::uint32_t code, const std::string& about) const {
        std::size_t n = 0;
        for (const auto& m : messages)
            if (m.code == code && (about.empty() || m.name == about)) ++n;
        return n;
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<KoJobMessage> messages;
};

}  // namespace engine_test
