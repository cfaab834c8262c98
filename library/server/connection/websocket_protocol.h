// Server stack: a WebSocket served on its connection's event loop once the
// 101 is written (KoWebSocketProtocol), and KoWebSocketPeer, where that loop
// and the host's threads meet.
//
// The protocol owns the KoWebSocketSession: it feeds it what the client
// sends, hands its frames to the channel (shared frames as they are) while
// less than `handBound` bytes wait there, pings an idle client every
// `pingInterval` (one that answers nothing within a further interval is
// dropped), and ends the connection once the close handshake is done or
// `closeWait` after its own close went unanswered. After it failed the
// connection it reads and drops the client's input meanwhile, so that the
// client is not reset before it has read the close frame.
//
// The peer is what the host's side holds: it queues the host's messages
// and close (any thread) and wakes the loop, which moves them into the
// session. A send beyond `maxQueued` bytes waiting (in the peer, the session
// and the connection together) reports full and queues nothing, or with
// closeWhenFull closes the WebSocket with 1008. Messages the host has not
// yet taken (consumed) hold back the client's input past `inputBound`.
// After the connection ended every send reports closed.
//
// Listener calls (opened, message, closed) come on the loop, in order, and
// must not block; closed comes exactly once, with the close code (1006 when
// the connection ended without a close handshake).
// Threads: the protocol on the loop only; the peer's public calls on any
// thread. May use: websocket, message.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/connection/connection_protocol.h"
#include "websocket/websocket_session.h"

class KoWebSocketPeer {
public:
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void opened() = 0;
        virtual void message(std::string&& payload, bool binary) = 0;
        virtual void closed(std::uint16_t code, const std::string& reason) = 0;
    };

    enum class Sent { queued, full, closed };

    KoWebSocketPeer(std::size_t maxQueued, bool closeWhenFull, std::size_t inputBound);
    KoWebSocketPeer(const KoWebSocketPeer&) = delete;
    KoWebSocketPeer& operator=(const KoWebSocketPeer&) = delete;

    // Any thread.
    Sent send(KoWebSocketOpcode opcode, std::string payload);
    Sent sendShared(KoWebSocketFrame frame);
    void close(std::uint16_t code, std::string reason);
    // Open: the connection lives and no close was asked for or received.
    bool open() const;
    // Bytes waiting for the client, as last known.
    std::size_t queued() const;
    // The host has taken bytes of messages it was handed.
    void consumed(std::size_t bytes);
    // Waits until the connection has ended (after a close, once the client
    // answered it) or `until`; true when it ended. Not on its loop.
    bool waitEnded(std::chrono::steady_clock::time_point until) const;

private:
    friend class KoWebSocketProtocol;
    struct Outgoing {
        KoWebSocketOpcode opcode = KoWebSocketOpcode::text;
        std::string payload;
        KoWebSocketFrame frame;  // a shared frame instead of payload
        bool close = false;
        std::uint16_t code = 0;
    };
    Sent queueLocked(Outgoing outgoing, std::size_t size);
    void wakeLocked();
    void endLocked();

    const std::size_t maxQueued;
    const bool closeWhenFull;
    const std::size_t inputBound;
    mutable std::mutex lock;
    mutable std::condition_variable endedSignal;
    std::deque<Outgoing> outbox;      // under lock
    std::size_t outboxBytes = 0;      // under lock
    bool closeAsked = false;          // under lock
    bool ended = false;               // under lock
    KoProtocolChannel* channel = nullptr;  // under lock: set while the connection lives
    std::atomic<std::size_t> loopQueued{0};  // the session's and the connection's, from the loop
    std::atomic<std::size_t> pendingInput{0};
    std::atomic<bool> inputHeld{false};
};

struct KoWebSocketProtocolSettings {
    KoWebSocketSettings session;
    std::optional<KoDeflateParameters> deflate;
    std::chrono::milliseconds pingInterval{30'000};  // zero: no pings
    std::chrono::milliseconds closeWait{5'000};
    std::size_t handBound = 64 * 1024;
};

class KoWebSocketProtocol final : public KoConnectionProtocol, private KoWebSocketSession::Events {
public:
    KoWebSocketProtocol(KoWebSocketProtocolSettings settings, std::shared_ptr<KoWebSocketPeer> peer,
                        std::shared_ptr<KoWebSocketPeer::Listener> listener);
    ~KoWebSocketProtocol() override;

    void started(KoProtocolChannel& channel) override;
    void received(std::string_view bytes) override;
    void inputEnded() override;
    void drained() override { pump(); }
    void woken() override;
    bool takesInput() const override;
    bool resting() const override { return session.queuedBytes() == 0 && !closing_; }
    Clock::time_point deadline() const override;
    bool deadlinePassed() override;
    void ended() override;

private:
    void message(KoWebSocketOpcode opcode, std::string&& payload) override;
    void closing(std::uint16_t code, const std::string& reason) override;
    // Frames of the session to the channel, as far as the bound allows.
    void pump();
    void tellClosed(std::uint16_t code, const std::string& reason);

    const KoWebSocketProtocolSettings settings;
    std::shared_ptr<KoWebSocketPeer> peer;
    std::shared_ptr<KoWebSocketPeer::Listener> listener;
    KoWebSocketSession session;
    KoProtocolChannel* channel = nullptr;
    Clock::time_point lastHeard{};
    Clock::time_point closeSentAt{};
    bool awaitingPong = false;
    bool inputDone = false;
    bool closedTold = false;
    bool closing_ = false;  // the connection is asked to end
};
