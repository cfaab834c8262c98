// Public: live channels of velko::Server (server.h) - WebSockets, streams
// of Server-Sent Events, and answers whose body the host writes as it
// makes it. Served on the server's event loops like every other
// connection: no thread per client.
//
//   velko::WebSocketHandlers echo;
//   echo.onMessage = [](const velko::WebSocketPtr& socket, const std::string& message, bool binary) {
//       binary ? socket->sendBinary(message) : socket->sendText(message);
//   };
//   server.webSocket("/ws/echo", echo);
//   server.broadcast("/ws/echo", "to every open one");
//
//   velko::EventStreamHandlers clock;
//   clock.onOpen = [&](const velko::EventStreamPtr& stream) { streams.add(stream); };
//   server.events("/events", clock);   // elsewhere: stream->send("12:00:00")
//
// Callbacks run on the library's threads, never on those that serve the
// sockets, so they may block (for a while: the others of the same server
// wait for a free thread, at most ServerOptions::handlerConcurrency run at
// once). The callbacks of one WebSocket or stream run one after the other,
// in the order of what happened. Handles are shared, every member may be
// called from any thread, and they stay safe to use after the client went:
// sends then report false. After Server::stop no callback runs any more.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velko {

struct Request;

// Where a streamed answer's maker writes its body (Answer::stream).
class BodyWriter {
public:
    // Adds bytes to the body. Waits while the client is behind (about
    // 64 KiB are held for it); false when the client has gone, the server
    // stops, or the bytes would pass the length the answer announced:
    // the maker should stop then.
    virtual bool write(const std::string& bytes) = 0;
    virtual bool clientGone() const = 0;

protected:
    ~BodyWriter() {}
};

// Writes a streamed answer's body; when it returns, the body is complete
// (an announced length not reached, or an exception, cuts it: the client
// sees a truncated answer, never a whole one).
using BodyProducer = std::function<void(BodyWriter& body)>;

// One open WebSocket, as the host holds it.
class WebSocket {
public:
    virtual ~WebSocket() {}
    // Queues a message. False, with nothing queued, once the WebSocket is
    // closed or closing, or when more than WebSocketOptions::maxQueued
    // bytes wait for the client (with closeWhenFull it is then closed
    // with 1008).
    virtual bool sendText(const std::string& text) = 0;
    virtual bool sendBinary(const std::string& bytes) = 0;
    // Starts the close handshake: code 1000-1003, 1007-1014 or 3000-4999
    // (others are sent as 1000), reason at most 123 bytes (cut at a
    // character). onClose follows.
    virtual void close(int code = 1000, const std::string& reason = std::string()) = 0;
    virtual bool isOpen() const = 0;
    // The request that opened it: path, query, fields, Request::user.
    virtual const Request& request() const = 0;
    // The subprotocol chosen, or "".
    virtual const std::string& subprotocol() const = 0;
    // Bytes waiting for the client.
    virtual std::size_t queuedBytes() const = 0;
};
using WebSocketPtr = std::shared_ptr<WebSocket>;

struct WebSocketHandlers {
    std::function<void(const WebSocketPtr& socket)> onOpen;
    // A whole message: text (checked UTF-8) or binary.
    std::function<void(const WebSocketPtr& socket, const std::string& message, bool binary)> onMessage;
    // Once, when it closed: the client's code (1005: it gave none), the
    // server's own (1002 protocol error, 1007 text that is no UTF-8, 1008
    // a client that does not read, 1009 a message too large), or 1006 when
    // the connection ended without a close handshake.
    std::function<void(const WebSocketPtr& socket, int code, const std::string& reason)> onClose;
};

struct WebSocketOptions {
    // Pages that may open it, by their Origin ("https://panel.example:8443",
    // "*" for any). Empty: pages of the server's own site only (an Origin
    // whose host and port are the request's Host). A client that sends no
    // Origin (no browser) is let in. Refused: 403.
    std::vector<std::string> origins;
    // When set, decides instead of origins. It runs on the threads that
    // serve the sockets: quick, without blocking.
    std::function<bool(const Request& request)> acceptOrigin;
    // Subprotocols it speaks, best first: the first the client also asks
    // for is chosen.
    std::vector<std::string> subprotocols;
    bool permessageDeflate = true;  // agreed when the client offers it
    std::size_t maxMessage = 16 * 1024 * 1024;  // larger: closed with 1009
    std::size_t maxQueued = 8 * 1024 * 1024;    // waiting for the client
    bool closeWhenFull = false;                 // instead of send reporting false
    // A client silent this long is pinged; one that stays silent as long
    // again is dropped (onClose 1006). Zero: no pings.
    std::chrono::milliseconds pingInterval{30000};
    // Server::broadcast's name for it; empty: the path.
    std::string group;
};

// One open stream of Server-Sent Events, as the host holds it.
class EventStream {
public:
    virtual ~EventStream() {}
    // An event (event: its type, "" for "message"; id: what the client
    // sends back as Last-Event-ID when it reconnects). False once closed or
    // when more than EventStreamOptions::maxQueued bytes wait for the
    // client (nothing is queued then).
    virtual bool send(const std::string& data, const std::string& event = std::string(),
                      const std::string& id = std::string()) = 0;
    // A comment line, which clients ignore.
    virtual bool comment(const std::string& text) = 0;
    // Ends the stream (the client may reconnect).
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual const Request& request() const = 0;
    // The client's Last-Event-ID (a reconnecting client's last event), or "".
    virtual const std::string& lastEventId() const = 0;
};
using EventStreamPtr = std::shared_ptr<EventStream>;

struct EventStreamHandlers {
    // Before the answer's head goes out: events sent here are the first.
    std::function<void(const EventStreamPtr& stream)> onOpen;
    // Once, when the stream ended: the client went, close() was called or
    // the server stops.
    std::function<void(const EventStreamPtr& stream)> onClose;
};

struct EventStreamOptions {
    // A comment after this long without anything sent, so proxies keep
    // the stream open. Zero: none.
    std::chrono::milliseconds heartbeat{15000};
    // The client's reconnection wait, sent first; zero: none sent.
    std::chrono::milliseconds retry{0};
    std::size_t maxQueued = 1024 * 1024;
};

}  // namespace velko
