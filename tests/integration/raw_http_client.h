// A bare TCP client for tests that need to control every byte on the wire:
// partial requests, stalls, several requests in one write, and seeing when
// the server closes. Connects to 127.0.0.1 only; every wait is bounded.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/descriptor.h"
#include "platform/poller.h"
#include "platform/socket.h"

class RawHttpClient {
public:
    explicit RawHttpClient(int port) {
        platform::ResolveHints hints;
        hints.numericHost = true;
        auto resolved = platform::resolveStream("127.0.0.1", std::to_string(port), hints);
        if (!resolved.ok() || resolved.entries.empty()) return;
        const auto& entry = resolved.entries.front();
        auto opened = platform::openSocket(entry.family, entry.type, entry.protocol);
        if (!opened.ok()) return;
        if (!platform::connectSocket(opened.value().get(), entry.address).ok()) return;
        socket = std::move(opened.value());
    }

    bool connected() const { return socket.valid(); }
    // The server closed its side (a read gave end of stream or failed).
    bool closed() const { return peerClosed; }
    const std::string& received() const { return input; }

    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            auto sent = platform::sendSome(socket.get(), bytes.data() + done, bytes.size() - done);
            if (!sent.error.ok() && !sent.error.interrupted()) return false;
            done += sent.bytes;
        }
        return true;
    }

    // Reads until done(received()) holds, the server closes, or the time is
    // up. True when done holds.
    bool readUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done(input)) {
            if (peerClosed) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            readOnce(static_cast<int>(left.count()));
        }
        return true;
    }

    bool readUntilContains(const std::string& text, std::chrono::milliseconds limit) {
        return readUntil([&](const std::string& in) { return in.find(text) != std::string::npos; }, limit);
    }

    // Reads until the server closes; true when it did within the limit.
    bool readUntilClosed(std::chrono::milliseconds limit) {
        readUntil([](const std::string&) { return false; }, limit);
        return peerClosed;
    }

    // Reads one whole answer whose head carries Content-Length (no body for
    // interim 1xx answers) and removes it from what was received. Empty when
    // none arrived in time.
    std::string takeAnswer(std::chrono::milliseconds limit) {
        std::size_t total = 0;
        const bool whole = readUntil(
            [&](const std::string& in) {
                const std::size_t end = in.find("\r\n\r\n");
                if (end == std::string::npos) return false;
                std::size_t length = 0;
                const std::size_t field = in.find("Content-Length: ");
                if (in.compare(0, 10, "HTTP/1.1 1") != 0 && field != std::string::npos && field < end) {
                    length = std::stoul(in.substr(field + 16));
                }
                total = end + 4 + length;
                return in.size() >= total;
            },
            limit);
        if (!whole) return {};
        std::string answer = input.substr(0, total);
        input.erase(0, total);
        return answer;
    }

    void shutdown() { socket.reset(); }
    // Tells the server that nothing more comes (half-close); reading goes on.
    void finishSending() { platform::shutdownSending(socket.get()); }
    int descriptor() const { return socket.get(); }

private:
    void readOnce(int timeoutMs) {
        auto ready = platform::waitDescriptor(socket.get(), platform::readable, timeoutMs);
        if (!ready.ok() || ready.value() == 0) return;
        char buffer[65536];
        auto got = platform::receiveSome(socket.get(), buffer, sizeof buffer);
        if (!got.error.ok()) {
            if (!got.error.interrupted() && !got.error.wouldBlock()) peerClosed = true;
            return;
        }
        if (got.bytes == 0) {
            peerClosed = true;
            return;
        }
        input.append(buffer, got.bytes);
    }

    platform::Descriptor socket;
    std::string input;
    bool peerClosed = false;
};
