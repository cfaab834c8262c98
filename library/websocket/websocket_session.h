// WebSocket: KoWebSocketSession, one open WebSocket without its socket -
// what the client sent turned into messages for the host, what the host
// sends turned into frames queued for the socket, pings answered, and the
// close handshake kept in order.
//
// The owner (the connection on its event loop) feeds received bytes to
// receive(), writes what front() holds and reports it with sent(), and
// closes the socket once closed() says so and the output is written.
//
// Back-pressure: the frames queued for a client that does not read are
// bounded; a send beyond the bound reports full (nothing queued), or, with
// closeWhenFull, fails the connection with 1008. A broadcast frame is built
// once and shared by every session that queues it (makeSharedFrame).
//
// Threads: one owner's thread at a time (the host's sends reach it as posted
// tasks). Never throws but bad_alloc (and KoException from zlib's set-up).
// May use: foundation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "websocket/frame.h"
#include "websocket/frame_reader.h"
#include "websocket/permessage_deflate.h"

struct KoWebSocketSettings {
    std::size_t maxMessage = 16 * 1024 * 1024;
    std::size_t maxQueued = 8 * 1024 * 1024;  // unsent bytes before a send is refused
    bool closeWhenFull = false;               // fail the connection (1008) instead
    std::size_t compressAbove = 256;          // smaller messages go uncompressed
};

using KoWebSocketFrame = std::shared_ptr<const std::string>;

// One unmasked, uncompressed frame for many sessions.
KoWebSocketFrame makeSharedFrame(KoWebSocketOpcode opcode, std::string_view payload);

class KoWebSocketSession {
public:
    class Events {
    public:
        virtual void message(KoWebSocketOpcode opcode, std::string&& payload) = 0;
        // The client's close (code 1005: none given), or the failure's code.
        virtual void closing(std::uint16_t code, const std::string& reason) = 0;

    protected:
        ~Events() = default;
    };

    enum class Sent { queued, full, closed };

    KoWebSocketSession(Events& events, KoWebSocketSettings settings, std::optional<KoDeflateParameters> deflate);

    // Bytes from the client. False once nothing more is to be read.
    bool receive(std::string_view bytes);

    Sent send(KoWebSocketOpcode opcode, std::string_view payload);
    Sent sendShared(const KoWebSocketFrame& frame);
    void ping(std::string_view payload = {});
    // Starts the close handshake (once).
    void close(std::uint16_t code, std::string_view reason);

    // The bytes to write next (empty: nothing queued).
    std::string_view front() const;
    // The next frame whole, while none of it has been written (else null):
    // a shared frame can then go out as it is, without a copy.
    KoWebSocketFrame frontFrame() const;
    void sent(std::size_t bytes);
    std::size_t queuedBytes() const { return queued_; }
    // Both sides said close (or the connection failed): close the socket once
    // the output is written.
    bool closed() const { return closeSent_ && (closeReceived_ || failed_); }
    bool closeSent() const { return closeSent_; }
    // The server failed the connection (a protocol error, a message too large).
    bool failed() const { return failed_; }

private:
    Sent queue(KoWebSocketFrame frame, bool control);

    Events& events_;
    const KoWebSocketSettings settings_;
    std::unique_ptr<KoInflater> inflater_;
    std::unique_ptr<KoDeflater> deflater_;
    KoWebSocketReader reader_;
    std::deque<KoWebSocketFrame> output_;
    std::size_t headSent_ = 0;
    std::size_t queued_ = 0;
    bool closeSent_ = false;
    bool closeReceived_ = false;
    bool failed_ = false;
};
