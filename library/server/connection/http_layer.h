// Server stack, connection/: serving HTTP on a connection - the connection
// and its request reader (http_connection.h, request_reader.h), the HTTP
// layer (this header), and the protocols a connection switches to
// (connection_protocol.h: websocket_protocol.h, http2_protocol.h).
// May use: routing, files, http, listen, websocket, http2, message, net,
// foundation, platform.
//
// This header: KoTransceiverServerL1HTTP, the HTTP protocol layer. It
// serves each accepted connection on the event loop that owns it: bytes
// that arrive are parsed into requests (one at a time per connection, bytes
// behind a request kept for the next: pipelining), each complete request
// goes to the request sink (the owning client's router) and its answer is
// written with one access-log line, which goes straight to the settings'
// access-log sink (or the loop's log on standard output), all in one call
// chain on that loop. Nothing per request touches another thread, a process-wide
// lock, a job name or the dispatcher.
//
// An answer the sink produces later (a CGI run) is announced by the result
// answerPending and reaches the connection through the request's answer
// sink, on the connection's loop; until it is written the connection's next
// request waits, so answers keep their order. A sink that says it answered
// without writing anything gets a 500 written for it.
//
// A script's answer whose length is not known when its head goes out is
// sent chunked (to an HTTP/1.0 client: delimited by the end of the
// connection), its body taken from its stream as the client takes it; one
// cut short ends the connection without the final chunk. A streamed body
// of known length (contentLength) goes with its Content-Length. An answer
// with a protocol to follow (a WebSocket's 101) has its head written and
// logged, and the connection then speaks that protocol.
//
// Back-pressure: a connection takes up its next request only while at most
// the pacing's output bound waits unsent, and reads no input while a
// request is answered (KoHTTPConnection), so a client that sends without
// reading holds a bounded share of memory and descriptors.
//
// Slow peers: a request's header must be complete within `headerDeadline`
// of its first byte and a body must not stall for `bodyProgressDeadline`
// (the connection's loop timer); such requests are answered 408 and the
// connection closed. A new connection that sends nothing within
// `headerDeadline` is closed without an answer.
//
// Bodies: at a request's header end the body planner (the router) says what
// the body is for: a body nobody reads is counted and dropped as it comes
// (its framing still checked), one for a script or a host handler goes to a
// temporary file past `bodyMemoryBound`, a form's stays in memory, and an
// upload route's goes to a KoRequestBodyPipe that its handler reads while
// the body arrives (the connection routes such a request at its header end).
// "Expect: 100-continue" is answered "100 Continue" only for a request the
// plan accepts (413 at once when the announced body is too large); a refused
// one that asked is answered at once, without its body, and closed.
// Refused requests are answered with their status and closed. The end of the
// peer's input after complete requests answers them, then closes.
//
// Ownership: connections belong to the transceiver's loops and point back
// to the layer, which closes them all before it goes (endJobs). Threads:
// the Server calls (newRequest, planBody, route, refuse, write) run on a
// connection's loop;
// writeMessage on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "server/connection/http_connection.h"
#include "server/listen/socket_server.h"
#include "server/routing/body_plan.h"
#include "server/routing/http_settings.h"
#include "server/routing/route_result.h"

class KoXResponseHeader;

class KoTransceiverServerL1HTTP : public KoTransceiverServerL0Socket, public KoHTTPConnection::Server {
public:
    // Given the server's registration name (the client's source) and a
    // complete request: 0 not answered, 1 answered, answerPending.
    using RequestSink = std::function<int(const std::string& source, std::shared_ptr<KoXHeader> request)>;
    static constexpr int answerPending = kAnswerPending;

    KoTransceiverServerL1HTTP(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                              std::string serverId, std::string connectionTag,
                              std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                              RequestSink sink, KoHTTPSettings settings = {},
                              std::int32_t protocolCode = protocol::HTTP);
    ~KoTransceiverServerL1HTTP() override;

    // Ends the listener and the worker, then closes the layer's connections.
    void endJobs() override;
    // A connection named by a code-8 message goes on with its input (on its
    // loop); the layer's connections are served without messages.
    void processInput(const std::string& connection, const std::string& client) override;
    // Writes a response (KoXResponseHeader): through its answer sink when it
    // has one (the request's connection, on its loop), else on the named
    // connection. Head, then the in-memory body or the body file (nothing
    // for HEAD), then the log line; closes afterwards when the response's
    // closeAfter is set. False when the server no longer lives or the
    // message is no response.
    bool writeMessage(const std::string& connection, std::shared_ptr<KoXHeader> message) override;
    std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                              const std::string& serverIdentifier,
                                                              const KoServerCallback_t& record,
                                                              std::shared_ptr<KoSocketIPvx> socket) override;

    // KoHTTPConnection::Server, on the connection's loop.
    std::shared_ptr<KoXHeader> newRequest(KoHTTPConnection& source) override;
    // Keeps the request's body as the planner says; true when the request
    // will be answered with its body (it may be told to continue).
    bool planBody(KoXHeader& request) override;
    // The sink's answer, or a 500 when it gave none.
    void route(KoHTTPConnection& connection, std::shared_ptr<KoXHeader> request) override;
    void refuse(KoHTTPConnection& connection, std::int32_t status) override;
    void write(KoHTTPConnection& connection, const std::shared_ptr<KoXResponseHeader>& response) override;

    // A request that another protocol on one of the layer's connections
    // (HTTP/2) read, with its answer sink set: handed to the request sink as
    // route() does. 0 not answered, 1 answered, answerPending.
    int dispatch(const std::shared_ptr<KoXHeader>& request);
    // The access-log line of an answer sent on connection; protocolName
    // replaces the layer's protocol ("HTTPS") where given ("HTTP/2.0").
    void logAnswer(const KoTransceiverConnection& connection, const KoXHeader& response,
                   const std::string& requestLine, std::uint64_t bytes, std::string_view protocolName = {});

    const KoHTTPSettings& HTTPSettings() const { return httpSettings; }
    // Who decides at a request's header end what its body is for (the
    // router's planBody); set before the layer starts. Without one, every
    // body is held in memory and "100 Continue" answers every request that
    // asks for it with an acceptable length.
    void SetBodyPlanner(KoBodyPlanner bodyPlanner) { planner = std::move(bodyPlanner); }

protected:
    // How the layer's connections pace their requests (they point to it).
    const KoHTTPConnection::Pacing& pacing() const { return pacing_; }

private:
    // An answer of unknown length: its head now, its body as its stream
    // makes it (chunked; to the end of the connection for HTTP/1.0), the log
    // line when the stream ends or is cut.
    void writeStreamed(KoHTTPConnection& connection, const std::shared_ptr<KoXResponseHeader>& response);
    // A 101: its head, its log line, then the protocol it names.
    void switchProtocol(KoHTTPConnection& connection, const std::shared_ptr<KoXResponseHeader>& response);

    const KoHTTPSettings httpSettings;
    const KoHTTPConnection::Pacing pacing_;
    RequestSink sink;
    KoBodyPlanner planner;
};
