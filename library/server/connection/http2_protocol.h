// Server stack: KoHttp2Protocol, what a TLS connection of the HTTP layer
// speaks once ALPN chose "h2". It feeds a KoHttp2ServerSession with what the
// peer sends and queues what the session frames; each complete request
// becomes the request object an HTTP/1.1 connection reads (the same
// parser, from the pseudo-headers: method, path, Host from :authority; the
// connection's description and TLS values; the body planned by the layer)
// and goes to the same layer and router (KoTransceiverServerL1HTTP::
// dispatch), so every kind of answer comes through the same code. Streams
// are answered independently, several at once; each stream's answer sink
// takes its answer from any thread (a CGI run) and brings it to the loop.
// The access log line names the protocol "HTTP/2.0". A request for an upload
// route is dispatched at its header's end: its DATA go to its body pipe as
// they arrive, and the stream's window is given back as the handler takes
// them (past maxBody the pipe is cut and the stream answered 413). Any other
// request with a body is made at its header's end too (the layer plans its
// body there, a refusal is answered at once), and its DATA go through the
// parser as they arrive - as chunks when no length was announced - so it
// is kept, spilled to a file, bounded (413) and decoded as over HTTP/1.1;
// each piece's window goes back once the parser has taken it, and the
// request is dispatched when the parser has it whole. The bodies that a
// connection's streams hold in memory share one bound (http2.bodiesInMemory):
// a form's past it is answered 413, a script's goes to its file sooner.
//
// Back-pressure: frames are made only while the connection's unsent output
// is below the layer's output bound, and no input is taken above it; a
// script's output is taken as the stream's window allows, holding its
// maker back. A connection without streams rests on its loop's idle list
// as an HTTP/1.1 one between requests (the first closed to make room at the
// connection limit). Time-outs: a connection without streams closes after
// the idle time-out (GOAWAY), one whose request does not complete within
// the header deadline, or whose answer the peer's window or socket holds back for the
// stalled-output time-out, is ended. A defence of the session (floods,
// resets, HPACK bombs) ends the connection after its GOAWAY.
//
// KoHttp2Connections: the layer's open HTTP/2 connections, each told to say
// GOAWAY when the layer stops (goAway, any thread), before they are closed.
//
// Ownership: the connection owns the protocol; the layer and the registry
// outlive it. Threads: the connection's loop, but the answer sinks and
// goAway.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "http2/http2_session.h"
#include "http2/stream_table.h"
#include "message/spare_buffers.h"
#include "server/connection/connection_protocol.h"
#include "server/routing/http_settings.h"

class KoHTTPConnection;
class KoRequestBodyPipe;
class KoTransceiverServerL1HTTP;
class KoXHeader;
class KoXResponseHeader;

namespace http2_detail {
struct Mailbox;
class StreamSink;
}

class KoHttp2Connections {
public:
    // How long goAway waits for the connections to have written it.
    static constexpr std::chrono::milliseconds goAwayWait{1000};

    void add(const std::shared_ptr<http2_detail::Mailbox>& mailbox);
    void remove(const std::shared_ptr<http2_detail::Mailbox>& mailbox);
    // Every connection says GOAWAY on its loop; returns once they have (or
    // ended), or after goAwayWait. Not on a connection's loop.
    void goAway();
    // A connection has said it, or ended before it could.
    void goneAway();

private:
    std::mutex lock_;
    std::condition_variable done_;
    std::size_t pending_ = 0;
    std::set<std::shared_ptr<http2_detail::Mailbox>> open_;
};

class KoHttp2Protocol final : public KoConnectionProtocol, private KoHttp2ServerSession::Handler {
public:
    KoHttp2Protocol(KoTransceiverServerL1HTTP& layer, KoHTTPConnection& connection,
                    std::shared_ptr<KoHttp2Connections> registry);
    ~KoHttp2Protocol() override;

    void started(KoProtocolChannel& channel) override;
    void received(std::string_view bytes) override;
    void inputEnded() override;
    void drained() override;
    void woken() override;
    bool takesInput() const override;
    bool resting() const override;
    bool idleWhenResting() const override { return true; }
    void releaseMemory() override {
        session_.rest();
        decltype(spareSinks_)().swap(spareSinks_);
        streams_.releaseSpares();
        frames_.reset();
    }
    void closingIdle() override;
    Clock::time_point deadline() const override;
    bool deadlinePassed() override;
    void ended() override;

    // An answer for stream, on the loop.
    void answerStream(std::int32_t stream, std::shared_ptr<KoXResponseHeader> response);

private:
    struct Stream {
        std::shared_ptr<http2_detail::StreamSink> sink;
        std::shared_ptr<KoXHeader> request;
        std::shared_ptr<KoXResponseHeader> response;  // once answered
        std::string requestLine;
        std::uint64_t sent = 0;  // body bytes given to the session
        bool answered = false;
        // A body handed over as it arrives, and how much of it the peer may send again.
        std::shared_ptr<KoRequestBodyPipe> pipe;
        std::uint64_t givenBack = 0;
        // Any other body: the parser takes its DATA into the request, which is
        // dispatched once complete. chunked: DATA go in as chunks (no length).
        bool parsing = false;
        bool chunked = false;
        // What of the connection's memory bound for bodies it holds, and the
        // share a spilled body may keep in memory before its file.
        std::size_t inMemory = 0;
        std::size_t spillBound = 0;
    };

    // The entry of stream id, or null.
    Stream* findStream(std::int32_t id) { return streams_.find(id); }
    // The entry of stream id, made (of a spare one when there is one) when
    // it has none.
    Stream& openStream(std::int32_t id) { return streams_.open(id); }
    // Drops the entry, kept emptied as a spare for a stream to come.
    void dropStream(std::int32_t id);

    void request(KoHttp2ServerSession& session, KoHttp2Request&& request) override;
    // What the parser said of a request being read: waits for more, is
    // dispatched, or is answered with its refusal.
    void settle(std::int32_t stream, KoXHeader& request, int result);
    // Gives body bytes (and, last, the end) to the parser of stream; false
    // when it reads nothing more.
    bool feed(std::int32_t stream, std::string_view bytes, bool last);
    bool requestStarts(KoHttp2ServerSession& session, const KoHttp2Request& head) override;
    bool requestData(KoHttp2ServerSession& session, std::int32_t stream, std::string_view bytes) override;
    void requestEnded(KoHttp2ServerSession& session, std::int32_t stream) override;
    // Gives back the window of what the handlers took.
    void giveBackWindows();
    void streamClosed(KoHttp2ServerSession& session, std::int32_t stream) override;

    // Hands a complete (or, for an upload, a started) request to the layer.
    void dispatch(std::int32_t id, const std::shared_ptr<KoXHeader>& request);
    // The request object of the HTTP/1.1 path; null (and the stream
    // answered) when it is refused.
    // early (pipe given): at the header's end, its body still to come; pipe
    // is an upload route's body, else the parser reads the body, as chunks
    // when chunked is set.
    std::shared_ptr<KoXHeader> buildRequest(const KoHttp2Request& request, std::string& requestLine,
                                            std::shared_ptr<KoRequestBodyPipe>* pipe = nullptr,
                                            bool* chunked = nullptr);
    // What the connection's streams may still hold of bodies in memory.
    std::size_t freeBodyMemory() const;
    // Brings the stream's share of bodiesInMemory_ up to what its request
    // now holds.
    void recount(Stream& stream);
    // Whether a started body waits for its client (the header deadline counts).
    bool bodyAwaited() const;
    // A sink for stream's answer, made of a spare one when there is one.
    std::shared_ptr<http2_detail::StreamSink> takeSink(std::int32_t stream);
    void answerPlain(std::int32_t stream, int status, const std::string& requestLine);
    void log(Stream& stream);
    // Moves frames to the connection while its output is below the bound;
    // ends the connection once the session is done.
    void flush();
    void takeMail();

    KoTransceiverServerL1HTTP& layer_;
    KoHTTPConnection& connection_;
    const KoHTTPSettings& settings_;
    std::shared_ptr<KoHttp2Connections> registry_;
    std::shared_ptr<http2_detail::Mailbox> mailbox_;
    KoHttp2ServerSession session_;
    KoProtocolChannel* channel_ = nullptr;
    KoStreamTable<Stream> streams_;  // at most http2.maxStreams open
    // The last frames sent (shared with the connection's output until written).
    std::shared_ptr<std::string> frames_;
    // Sinks of closed streams that nobody holds any more.
    std::vector<std::shared_ptr<http2_detail::StreamSink>> spareSinks_;
    // Body bytes the streams' requests hold in memory (a spilled body's
    // share counted whole until it has its file), at most
    // http2.bodiesInMemory and a frame.
    std::size_t bodiesInMemory_ = 0;
    bool receiving_ = false;  // inside session_.receive: frames go out after it
    bool closing_ = false;
    bool inputEnded_ = false;
    mutable bool inputHeld_ = false;  // takesInput said no
    Clock::time_point lastInput_{};
    Clock::time_point lastOutput_{};
    Clock::time_point closeBy_ = Clock::time_point::max();
};
