// Server stack: KoHTTPConnection, the connection of the HTTP layers.
//
// Beyond KoTransceiverConnection it sends files: a large file over plain TCP
// straight from its descriptor (sendfile) unless it is very large and the
// peer is on this machine, otherwise in bounded chunks read as the socket
// takes them (the next chunk only when less than one is left
// queued, so a large file never sits in memory whole, while a header and the
// start of its file still go out in one write). Later answers wait behind a
// file still being sent, and the connection closes itself once everything
// is written when asked to (CloseWhenDrained).
//
// With a Server (the HTTP layer) it is served on its event loop: bytes that
// arrive go to its KoRequestReader at once, with no job message; each
// request read is made by the server (newRequest), its body planned by it at
// the header's end (planBody), and the complete request handed to it
// (route) or refused through it (refuse): the calls go one way, from the
// connection to the server. The connection
// applies back-pressure for it: it reads no more input while a request is
// being answered or while more than `outputBound` bytes wait to be sent,
// and asks the server to go on with held-back requests as that output
// drains. It rests in its loop's idle list between requests (the idle
// time-out; the first to go when descriptors run out or its listener is at
// its connection limit), and its deadline is the server's header and body
// deadlines while a request is read. A new connection's first request must
// begin within the header deadline; one that sends nothing is closed then. The end
// of the peer's input lets it answer what was received, then close.
//
// An answer of unknown length (a script's output) takes its body from a
// KoBodyStream (QueueStream): pieces are framed (chunked, or as they are for
// a body that the end of the connection delimits) and queued as the socket
// takes the ones before, so at most about two file chunks of it wait here;
// the stream itself holds back its maker. Until the stream ends the next
// request waits. A stream that is cut, or a connection that closes before
// its stream ended, ends the connection without a proper end of body, and
// closing lets the stream's maker stop.
//
// A request planned for an upload route (its body has a KoRequestBodyPipe)
// is routed at its header's end; the body then goes on into the pipe as it
// comes, and while the pipe is full nothing more is fed to it, so the input
// buffer fills and the socket is not read until the handler takes bytes.
// The body time-out counts only while the connection waits for the client.
// An answer written before the body's end lets the rest be read past (the
// next request follows; a client that stops sending ends the connection,
// as the end of its input does in any request); the end of the client's input, a body time-out or a broken
// framing cut the pipe (the handler sees a body that is not complete), and
// an answer of the handler's that comes after a refusal is not written.
//
// Answers reach it through KoAnswerSink: from the loop while a request is
// routed, or from another thread (a CGI run), which hands the answer to the
// loop. Without a Server it is a plain connection whose input goes to its
// owner by code 8.
//
// Threads: the owning loop runs the hooks, serve() and the send steps; any
// thread may queue output or answer. The output lock guards the queue, the
// files and the close flag; the exchange is the loop's alone.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "foundation/rare_vector.h"
#include "message/answer_sink.h"
#include "message/body_stream.h"
#include "message/request_body_pipe.h"
#include "message/transceiver_connection.h"
#include "server/connection/connection_protocol.h"
#include "server/connection/request_reader.h"
#include "server/files/file_cache.h"

class KoXHeader;

// How a served connection paces its requests.
struct KoHTTPPacing {
    std::chrono::milliseconds headerDeadline{30'000};
    std::chrono::milliseconds bodyProgressDeadline{30'000};
    // Unsent bytes above which no further request is taken up.
    std::size_t outputBound = 64 * 1024;
    // Files at least this large go out by sendfile over plain TCP.
    std::size_t sendfileThreshold = 16 * 1024;
    // Files at least this large go to a peer on this machine through the
    // send buffer, not by sendfile: no network card takes the pages there,
    // the peer's own read copies them, and pages this many no longer sit in
    // the processor's cache; one copy here, which the peer then reads from
    // the cache, costs the machine less.
    std::uint64_t localCopyThreshold = 8 * 1024 * 1024;
};

class KoHTTPConnection : public KoTransceiverConnection, public KoAnswerSink {
public:
    // The layer that serves the connection on its loop.
    class Server {
    public:
        // The next request of the connection, before its first byte is read.
        virtual std::shared_ptr<KoXHeader> newRequest(KoHTTPConnection& connection) = 0;
        // At a request's header end: whether its body is wanted (it is then
        // kept as planned).
        virtual bool planBody(KoXHeader& request) = 0;
        // A complete request: answered now or later (through write).
        virtual void route(KoHTTPConnection& connection, std::shared_ptr<KoXHeader> request) = 0;
        // A request that cannot be read (or took too long): answered with
        // status, then the connection closes.
        virtual void refuse(KoHTTPConnection& connection, std::int32_t status) = 0;
        // Writes an answer whose request the connection waits for.
        virtual void write(KoHTTPConnection& connection, const std::shared_ptr<KoXResponseHeader>& response) = 0;

    protected:
        ~Server() = default;
    };

    using Pacing = KoHTTPPacing;

    // Where the connection's request and answer stand; on the loop.
    struct Exchange {
        Clock::time_point firstByte{};
        Clock::time_point lastProgress{};
        std::size_t bodyBytes = 0;
        bool headerDone = false;
        bool busy = false;      // a complete request waits for its answer
        bool routing = false;   // the router has the request right now
        bool answered = false;  // its answer has been written
        bool streaming = false; // its body still comes from a stream
        // The body of a request routed at its header's end, still read.
        std::shared_ptr<KoRequestBodyPipe> bodyPipe{};
        bool closeAfterAnswer = false;  // its body was cut: the answer is the last
    };

    // server and pacing (which must outlive the connection; the defaults
    // when null) come from the layer that serves it.
    KoHTTPConnection(KoTransceiver& transceiver, const std::string& owner, const std::string& peer,
                     const KoServerCallback_t& record, KoConnectionHandler handler, std::size_t fileChunk,
                     Server* server = nullptr, const Pacing* pacing = nullptr);

    void Reset() override;
    void QueueBuffer(std::unique_ptr<KoStringBuf>& buffer) override;
    void QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) override;
    int SendStep(KoSocketIPvx& socket) override;
    int InputArrived(const char* bytes, std::size_t length) override;
    bool WantsToSend() const override;

    // Queues text without copying it.
    void QueueText(std::string text);
    // Queues size bytes of an open stream, from offset on, behind what is
    // queued; the stream is closed once they are sent (or the connection
    // ends) and no other queued piece shares it. Pieces that share a stream
    // are read one after the other, each from its own offset.
    void QueueFile(std::shared_ptr<std::ifstream> file, std::uint64_t size, std::uint64_t offset = 0);
    // Queues length bytes of a shared open file from offset. A small file is
    // read at once (it goes out with what is queued before it); a large one
    // is sent from its descriptor over plain TCP, in chunks otherwise.
    void QueueFile(std::shared_ptr<const KoOpenFile> file, std::uint64_t offset, std::uint64_t length);
    // Queues length bytes of shared from offset without copying them (a
    // cache's bytes, a broadcast frame: held by the queue until sent).
    void QueueShared(std::shared_ptr<const std::string> shared, std::size_t offset, std::size_t length);
    // Called on the loop once a queued stream has ended (complete) or was cut
    // or dropped (not complete), with the bytes it queued, framing included.
    using StreamEnded = std::function<void(KoHTTPConnection& connection, std::uint64_t bytes, bool complete)>;
    // Queues the body that source makes, behind what is queued: in chunks
    // with the final empty chunk when chunked, else as it comes. On the loop.
    void QueueStream(std::shared_ptr<KoBodyStream> source, bool chunked, StreamEnded ended);
    // Ends the connection once everything queued is written; at once when
    // nothing is queued.
    virtual void CloseWhenDrained();
    // Files not yet completely queued.
    std::size_t FilesPending() const;
    // Bytes still to send: queued text and the rest of queued files.
    std::uint64_t UnsentBytes() const;

    // KoAnswerSink: any thread.
    void answer(std::shared_ptr<KoXResponseHeader> response) override;
    bool ClientGone() const override { return PeerGone(); }
    // Writes a response that no request of the connection waits for (a
    // layer's writeMessage by name), on the loop; any thread.
    void WriteUnasked(std::shared_ptr<KoXResponseHeader> response);
    // Looks at buffered input again, on the loop; any thread.
    void Resume();
    // Adds what the transport knows of the peer (a TLS client's
    // certificate) to a new request's description; on the loop.
    virtual void describeTransport(KoStringMap&) {}
    // The description its requests share: the record's values and what the
    // transport adds, made when a request needs it and let go of when the loop
    // goes quiet while the connection rests (made again from the loop's
    // spares). A closing connection leaves it to its loop, whose next
    // connection puts its own values into it; on the loop.
    const std::shared_ptr<const KoStringMap>& requestDescription();

    // Whether the server takes more input now (back-pressure), the
    // transport aside; on the loop only.
    bool TakesInput() const;
    // Where its request and answer stand; on the loop only.
    Exchange& exchange() { return busy().exchange; }
    // The ticket of the next awaited answer: an answer carrying an older one
    // is never written for a later request; on the loop only.
    std::uint64_t nextAnswerTicket() { return ++answerTicket_; }
    bool Served() const { return server_ != nullptr; }
    bool InputClosed() const { return inputClosed_; }
    const Pacing& pacing() const { return *pacing_; }
    bool CloseRequested() const;
    // On the loop: waits in the idle list (no request in progress).
    void Settle();
    // On the loop: writes what is queued as far as the socket takes it.
    void Flush() { flushNow(); }
    // On the loop, while a request is routed or between requests: from now
    // on the connection speaks protocol (a WebSocket once its 101 is queued,
    // HTTP/2 once ALPN chose it). No further request is read; bytes held
    // behind the last one go to the protocol.
    void SwitchProtocol(std::unique_ptr<KoConnectionProtocol> protocol);
    bool SwitchedProtocol() const { return switched_ != nullptr; }

protected:
    void afterSentLocked() override { refillLocked(); }
    // Drops what waits to be sent; a stream not yet ended is told it was cut.
    void closing(bool orderly) override;
    // A close was asked for and everything queued has been written.
    bool DrainedForClose() const;
    // A body was cut short: the connection must not end in order (a TLS
    // session says no goodbye, the socket is reset), or the client would
    // take what it got for the whole.
    bool BodyCut() const;
    // A TLS connection sends through its session, never by sendfile.
    void setSendsFiles(bool on) { sendsFiles_ = on; }

    void attached() override;
    void inputReady() override;
    bool wantsInput() const override;
    bool wantsToServe() const override;
    void inputEnded() override;
    bool finished() const override;
    Clock::time_point deadline() const override;
    void deadlinePassed() override;
    bool tellsOwnerOfEnd() const override { return server_ == nullptr; }
    void outputDrained() override;
    // The connection has begun to rest between requests (a TLS session lets
    // go of its buffers).
    virtual void settled() {}
    // A transport's own deadline (a TLS handshake), max() for none.
    virtual Clock::time_point transportDeadline() const { return Clock::time_point::max(); }
    // The transport can carry answers (a TLS handshake has finished).
    virtual bool transportReady() const { return true; }

private:
    struct Later {
        std::string bytes{};
        std::shared_ptr<const std::string> shared{};  // bytes from offset, left of them
        std::shared_ptr<std::ifstream> stream{};
        std::shared_ptr<const KoOpenFile> file{};
        std::uint64_t offset = 0;
        std::uint64_t left = 0;
        bool bySendfile = false;
        bool placeKnown = false;  // whether the peer is on this machine was asked
        // A read file's chunk buffers, used again once the queue has sent
        // what they held.
        std::shared_ptr<std::string> rooms[2]{};
        bool started = false;  // the stream stands at offset
        // A body made as it is sent (its reader's handle).
        std::shared_ptr<KoBodyStream> source{};
        bool chunked = false;
        std::uint64_t streamed = 0;  // bytes queued of it
        StreamEnded ended{};
    };
    void queueTextLocked(std::string bytes);
    // Moves what may follow the sent bytes into the output queue.
    void refillLocked();
    bool drainedLocked() const;
    void popLaterLocked();
    // Whether `later` has something to send now (a stream may wait for its maker).
    void refreshLaterLocked();
    // Moves what a stream has into the output queue; false when it has
    // nothing now.
    bool refillFromSourceLocked(std::size_t& queued);
    // On the loop, outside the output lock: tells the layer and goes on with
    // the next request.
    void streamEnded();
    // Output lock held.
    void announceStreamEnd(StreamEnded ended, std::uint64_t bytes, bool complete);
    void tellStreamEnds();
    // The stream's maker added bytes or ended (any thread).
    void streamWoken();
    // Reads up to count bytes of a queued file; empty at its end.
    std::string readChunk(Later& item, std::size_t count);
    // Reads up to count bytes of a queued open file into `into`; the bytes read.
    std::size_t readFileInto(Later& item, char* into, std::size_t count);
    // One of the file's chunk buffers that the queue holds no more, made when
    // missing; null when both are still queued (output lock held).
    std::shared_ptr<std::string> freeRoomLocked(Later& item);
    void deliverAnswer(const std::shared_ptr<KoXResponseHeader>& response);
    // Resting: lets go of the description unless a request still holds it.
    void releaseDescription();
    // Quiet and at rest: the request state goes too.
    void releaseBusy();
    // Closing: the loop keeps the description for its next connection.
    void keepDescription();
    // Puts this connection's values into a description made for another
    // one with the same keys; false when the keys differ.
    bool refillDescription(KoStringMap& values) const;
    // The loop went quiet while it rests: the description and what the
    // protocol keeps for busy times go.
    void quiet() override;
    // Reads the requests the input holds and hands each to the server, as
    // far as back-pressure and the turn allow; on the loop.
    void serveRequests();
    // A streamed body's pipe has room again (any thread).
    void bodyRoom();
    // Cuts the body still read for its handler, if any; on the loop.
    void cutStreamedBody();
    // The answer comes before the streamed body's end; on the loop.
    void answeredBeforeBodyEnd();
    // The first file of `later` goes out by sendfile now (output lock held).
    int sendFileLocked(KoSocketIPvx& socket, Later& item);
    // A large file for a peer on this machine goes through the queue
    // instead of sendfile (output lock held; asked once per file).
    void choosePathLocked(KoSocketIPvx& socket, Later& item);

    const std::size_t fileChunk;
    Server* const server_;
    const Pacing* const pacing_;
    KoRareVector<Later> later;  // oldest first
    struct StreamEnd {
        StreamEnded ended;
        std::uint64_t bytes = 0;
        bool complete = false;
    };
    KoRareVector<StreamEnd> streamEnds;  // under the output lock, not yet told
    std::atomic<bool> laterWaiting{false};
    std::atomic<bool> streamWakePosted{false};
    // Set under the output lock and never cleared: the loop's questions read
    // it without the lock.
    std::atomic<bool> closeWhenDrained{false};
    bool bodyCut = false;  // under the output lock
    bool sendsFiles_ = true;
    bool inputClosed_ = false;  // loop: the peer ended its input
    // Loop: nothing has come yet; the first request is due within the
    // header deadline of the connection's start, not the idle time-out.
    bool awaitingFirst_ = true;
    Clock::time_point attachedAt_{};
    // What a request being read or answered needs, made when one begins
    // and let go of when the loop goes quiet while the connection rests: an
    // idle connection holds only the pointer. Loop only.
    struct Busy {
        Exchange exchange;
        KoRequestReader reader;
        std::shared_ptr<const KoStringMap> description;  // requestDescription()
    };
    std::unique_ptr<Busy> busy_;
    std::uint64_t answerTicket_ = 0;  // kept across requests, so never reused
    Busy& busy();
    // Without a request in progress: an exchange and a reader at rest.
    const Exchange& exchangeNow() const;
    const KoRequestReader& readerNow() const;

    // What the connection speaks after SwitchProtocol (loop), and the channel
    // it was started with.
    class Channel final : public KoProtocolChannel {
    public:
        explicit Channel(KoHTTPConnection& connection) : connection_(connection) {}
        void send(std::string bytes) override;
        void sendShared(std::shared_ptr<const std::string> bytes) override;
        std::uint64_t unsent() const override;
        void closeWhenSent() override;
        void abort() override;
        void wake() override;
        void resumeInput() override;
        Clock::time_point now() const override;

    private:
        KoHTTPConnection& connection_;
    };
    // Made by the switch: a connection that speaks HTTP/1 carries one word
    // for all of it.
    struct Switched {
        Switched(KoHTTPConnection& connection, std::unique_ptr<KoConnectionProtocol> speaking)
            : protocol(std::move(speaking)), channel(connection) {}
        std::unique_ptr<KoConnectionProtocol> protocol;
        Channel channel;
        bool ended = false;
        bool buffersReleased = false;  // since the protocol last rested
        std::atomic<bool> wakePosted{false};
    };
    std::unique_ptr<Switched> switched_;
    // Hands the input that has come to the protocol, as far as it takes it.
    void serveProtocol();
    // A protocol with nothing in progress and nothing to send rests on the
    // loop's idle list when it counts as idle, and lets go of buffers when
    // releaseBuffers says so.
    void settleProtocol(bool releaseBuffers);
    void wakeProtocol();
    // Closed while its protocol rests (made room for others, or idle): the
    // protocol's last word is written where the socket takes it now.
    void sayGoodbyeWhileResting();
    // Tells the protocol the connection ends, once.
    void endProtocol();
};
