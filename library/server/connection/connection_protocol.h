// Server stack: what a served connection speaks once it no longer carries
// HTTP/1.1 requests - a WebSocket after its 101, HTTP/2 chosen by ALPN.
//
// KoHTTPConnection::SwitchProtocol hands the connection to a
// KoConnectionProtocol: from then on what the peer sends goes to received(),
// and the protocol sends, closes and is woken through the KoProtocolChannel
// it was started with. The connection still does the transport (TLS, the
// socket, the output queue) and its limits; the protocol decides what the
// bytes mean, when it wants more input (back-pressure) and its own
// deadlines (a ping, an idle time-out).
//
// Threads: everything on the connection's loop, but KoProtocolChannel::wake,
// which any thread may call (a host that sends from its own thread queues
// what it sends in the protocol, under the protocol's own lock, and wakes
// the channel).
// May use: message.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class KoProtocolChannel {
public:
    using Clock = std::chrono::steady_clock;

    // Queues bytes behind what is queued.
    virtual void send(std::string bytes) = 0;
    // Queues bytes that other connections send too, without copying them.
    virtual void sendShared(std::shared_ptr<const std::string> bytes) = 0;
    // Bytes queued and not yet written.
    virtual std::uint64_t unsent() const = 0;
    // Ends the connection once what is queued is written.
    virtual void closeWhenSent() = 0;
    // Ends the connection now, without writing what is queued.
    virtual void abort() = 0;
    // Any thread: the protocol's woken() runs on the loop soon (once for
    // several wakes), as long as the connection lives.
    virtual void wake() = 0;
    // Input not taken for a while (takesInput said no) is looked at again.
    virtual void resumeInput() = 0;
    // The loop's time now.
    virtual Clock::time_point now() const = 0;

protected:
    ~KoProtocolChannel() = default;
};

class KoConnectionProtocol {
public:
    using Clock = KoProtocolChannel::Clock;

    virtual ~KoConnectionProtocol() = default;
    // The protocol takes over; bytes the peer sent behind the switch follow
    // through received().
    virtual void started(KoProtocolChannel& channel) = 0;
    // Bytes from the peer, in order.
    virtual void received(std::string_view bytes) = 0;
    // The peer ended its input (no more received()).
    virtual void inputEnded() = 0;
    // Everything queued has been written.
    virtual void drained() {}
    // After KoProtocolChannel::wake.
    virtual void woken() {}
    // Whether the connection reads more input now.
    virtual bool takesInput() const { return true; }
    // Nothing in progress and nothing to send (no open stream, no queued
    // frame): once its output is written the connection lets go of its
    // buffers (a TLS session's), as an HTTP/1.1 connection between requests.
    virtual bool resting() const { return false; }
    // Whether resting is idle as an HTTP/1.1 connection between requests:
    // on the loop's idle list, among the first closed to make room when
    // connections run short (an HTTP/2 connection without streams; not a
    // WebSocket, which its page holds open).
    virtual bool idleWhenResting() const { return false; }
    // It rests and the connection has let go of its buffers: the protocol
    // lets go of what it holds for busy times too.
    virtual void releaseMemory() {}
    // The connection is closed while the protocol rests (to make room at
    // the connection limit, or idle too long): its last word, queued now
    // through the channel, goes out where the socket takes it at once.
    virtual void closingIdle() {}
    // When deadlinePassed() is due; max() for never.
    virtual Clock::time_point deadline() const { return Clock::time_point::max(); }
    // The deadline came: by default the connection ends.
    virtual bool deadlinePassed() { return false; }
    // The connection ends (either side): no call follows, and the channel
    // must not be used any more.
    virtual void ended() = 0;
};
