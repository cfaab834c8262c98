// HTTP/2: KoHttp2ServerSession, the server side of one HTTP/2 connection,
// framed by nghttp2 and driven by whoever owns the socket (nghttp2 does no
// I/O here: bytes read go to receive(), bytes to write come from produce()).
//
// A request is handed to the handler once its stream has ended (headers and
// body, the body within a bound), unless the handler takes it at its
// header's end (requestStarts): its body is then handed over as DATA
// arrives (requestData, requestEnded), and the stream's flow-control window
// is given back only as the handler says it consumed the bytes (consumed),
// so a slow reader holds its stream back by the window, not by memory (the
// connection's window goes back as bytes arrive: other streams go on). Bytes
// of every other stream are given back as they arrive. The handler answers
// with respond(),
// at once or later, with a body that the session pulls as the stream's and
// the connection's flow-control windows allow. A body that has nothing yet
// says so (deferred) and is resumed with resume().
//
// Defences, each ending the connection with GOAWAY rather than costing the
// server memory or its loop: at most maxStreams streams at once (SETTINGS),
// a bound on a request's header list (what HPACK decodes to, so a small
// block that inflates is caught), on CONTINUATION frames per header block,
// on stream resets (a token bucket: the "rapid reset" attack), on SETTINGS,
// PING and empty frames per second, and on the acknowledgements queued for
// a peer that does not read.
//
// Threads: one connection's thread. Failures: the constructor throws
// KoException when nghttp2 has no memory; nothing else throws but bad_alloc.
// May use: foundation.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http2/http2_memory.h"
#include "http2/stream_table.h"

struct nghttp2_session;

struct KoHttp2Limits {
    std::uint32_t maxStreams = 100;
    std::size_t maxHeaderList = 64 * 1024;  // decoded names and values, 32 bytes more per field
    std::size_t maxBody = 16 * 1024 * 1024;
    // Request bodies held at once by all streams of the connection; a body
    // that would go past it is answered 413 like one above maxBody.
    std::size_t maxBodies = 32 * 1024 * 1024;
    std::size_t maxContinuations = 8;
    std::uint64_t resetBurst = 1000;        // resets a client may make at once
    std::uint64_t resetsPerSecond = 33;     // and then per second
    std::uint32_t controlFramesPerSecond = 200;  // SETTINGS and PING
    std::uint32_t emptyFramesPerSecond = 200;    // DATA and HEADERS with nothing in them
};

// A response's fields, names in lower case (add() lowers them; a name
// appended to buffer() must be in lower case already). Names and values
// lie in one buffer, so that an answer's dozen fields cost two
// allocations, not one per long value (none when the list has the room of
// an earlier one), and a list moves for the price of two strings' handles.
class KoHttp2Fields {
public:
    using Field = std::pair<std::string_view, std::string_view>;

    KoHttp2Fields() = default;
    KoHttp2Fields(std::initializer_list<Field> fields);

    void reserve(std::size_t count, std::size_t bytes);
    // Forgets every field, keeping the room.
    void clear();
    void add(std::string_view name, std::string_view value);
    // add() for a name in lower case already (as HTTP/2 carries them).
    void addLowerCase(std::string_view name, std::string_view value);
    // A field built in place, so that neither part needs a copy of its own
    // first: startField, the name appended to buffer() in lower case,
    // endName, the value appended, endField (or dropField to forget it).
    void startField() { building_ = Span{text_.size(), 0, 0}; }
    std::string& buffer() { return text_; }
    void endName() { building_.nameLength = text_.size() - building_.at; }
    void endField() {
        building_.valueLength = text_.size() - building_.at - building_.nameLength;
        spans_.push_back(building_);
    }
    // Drops the field being built (after startField).
    void dropField() { text_.resize(building_.at); }

    std::size_t size() const { return spans_.size(); }
    bool empty() const { return spans_.empty(); }
    Field operator[](std::size_t i) const {
        const Span& span = spans_[i];
        const std::string_view text(text_);
        return {text.substr(span.at, span.nameLength), text.substr(span.at + span.nameLength, span.valueLength)};
    }
    std::vector<std::pair<std::string, std::string>> pairs() const;

    // The fields in order, as views into the list (valid until it changes).
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = Field;
        using difference_type = std::ptrdiff_t;
        using reference = Field;
        using pointer = void;

        Iterator(const KoHttp2Fields& list, std::size_t at) : list_(&list), at_(at) {}
        Field operator*() const { return (*list_)[at_]; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator was = *this;
            ++at_;
            return was;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

    private:
        const KoHttp2Fields* list_;
        std::size_t at_;
    };
    Iterator begin() const { return {*this, 0}; }
    Iterator end() const { return {*this, size()}; }

private:
    struct Span {
        std::size_t at = 0;
        std::size_t nameLength = 0;
        std::size_t valueLength = 0;
    };
    std::string text_;
    std::vector<Span> spans_;
    Span building_;
};

// A request as it came: the pseudo-headers apart, the other fields (names
// in lower case) in one list whose room a stream to come reuses.
struct KoHttp2Request {
    std::int32_t stream = 0;
    std::string method;
    std::string scheme;
    std::string authority;
    std::string path;
    KoHttp2Fields fields;
    std::string body;
};

// What a response body gives when asked for bytes.
class KoHttp2Body {
public:
    struct Read {
        std::size_t bytes = 0;
        bool ended = false;
        bool deferred = false;  // nothing now; the owner calls resume() later
        bool failed = false;    // the body cannot be completed: the stream is reset
    };
    virtual ~KoHttp2Body() = default;
    virtual Read read(char* into, std::size_t capacity) = 0;
    // The next bytes where they lie in memory, at most capacity, the body
    // moving past them (ended: they are its last): the DATA frame is
    // written from them without a copy. Empty when the next bytes must be
    // read (a body that has none, or not in memory): read() is asked.
    virtual std::string_view inPlace(std::size_t capacity, bool& ended) {
        (void)capacity;
        (void)ended;
        return {};
    }
};

// A body held in memory.
class KoHttp2TextBody final : public KoHttp2Body {
public:
    explicit KoHttp2TextBody(std::string text) : text_(std::move(text)) {}
    Read read(char* into, std::size_t capacity) override;
    std::string_view inPlace(std::size_t capacity, bool& ended) override;

private:
    std::string text_;
    std::size_t at_ = 0;
};

class KoHttp2ServerSession {
public:
    class Handler {
    public:
        virtual void request(KoHttp2ServerSession& session, KoHttp2Request&& request) = 0;
        // A request whose body follows: true when the handler takes it now.
        virtual bool requestStarts(KoHttp2ServerSession& session, const KoHttp2Request& head) {
            (void)session;
            (void)head;
            return false;
        }
        // A piece of a started request's body: true when the handler keeps
        // it (and later calls consumed()), false when it is dropped.
        virtual bool requestData(KoHttp2ServerSession& session, std::int32_t stream, std::string_view bytes) {
            (void)session;
            (void)stream;
            (void)bytes;
            return false;
        }
        // A started request's body has ended.
        virtual void requestEnded(KoHttp2ServerSession& session, std::int32_t stream) {
            (void)session;
            (void)stream;
        }
        // The stream is gone (answered, reset or the connection ended).
        virtual void streamClosed(KoHttp2ServerSession& session, std::int32_t stream) {
            (void)session;
            (void)stream;
        }

    protected:
        ~Handler() = default;
    };

    using Clock = std::chrono::steady_clock;

    KoHttp2ServerSession(Handler& handler, KoHttp2Limits limits = {});
    ~KoHttp2ServerSession();
    KoHttp2ServerSession(const KoHttp2ServerSession&) = delete;
    KoHttp2ServerSession& operator=(const KoHttp2ServerSession&) = delete;

    // Bytes from the peer. False once the connection is to end (a protocol
    // error or a defence tripped): write what produce() still gives, then
    // close.
    bool receive(std::string_view bytes, Clock::time_point now = Clock::now());
    // Appends frames to send, at most about limit bytes.
    void produce(std::string& out, std::size_t limit = 64 * 1024);
    bool wantsWrite() const;
    // An idle session: the blocks kept for streams to come are freed and,
    // when it has nothing to send, the memory of its frame buffer goes back
    // to the system until the next frame is written.
    void rest();
    // Bytes in pages of the session's own (its frame buffer), which rest()
    // lets go of.
    std::size_t pagedBytes() const { return memory_.pagedBytes(); }
    // Neither side has anything more to say: the connection may close.
    bool finished() const;

    // Answers a stream; fields are lower-case names. body may be null (no
    // body: HEAD, 204, 304). False when the stream is gone or answered
    // already. The stream keeps the fields until it ends: nghttp2 frames
    // them where they lie.
    bool respond(std::int32_t stream, int status, KoHttp2Fields fields, std::unique_ptr<KoHttp2Body> body);
    // An empty field list for the answer of stream, with the room of an
    // earlier stream's answer (none when the stream is gone).
    KoHttp2Fields fieldRoom(std::int32_t stream);
    // A deferred body has more.
    void resume(std::int32_t stream);
    // The handler consumed bytes of a started request's body: the peer may
    // send as many more (WINDOW_UPDATE).
    void consumed(std::int32_t stream, std::size_t bytes);
    // A graceful end: GOAWAY with the last stream, the open ones finish.
    void shutdown();
    // The peer misbehaves in a way only the owner sees (it takes no
    // output): GOAWAY with ENHANCE_YOUR_CALM, nothing more is read.
    void terminate(const std::string& why);

    std::size_t openStreams() const { return streams_.size(); }
    // An answer has bytes to send that the peer's flow-control window holds
    // back (a window that stays shut is a slow-read attack).
    bool stalledByPeer() const;
    // Why the connection ended, when a defence or an error ended it.
    const std::string& failure() const { return failure_; }

private:
    struct Stream {
        KoHttp2Request request;
        std::size_t headerBytes = 0;
        bool tooLarge = false;
        bool deferred = false;  // its body said it has nothing for now
        bool bodyEnded = false;
        // What inPlace gave for the DATA frame being written.
        std::string_view lying;
        bool started = false;  // requestStarts took it
        bool responded = false;
        std::unique_ptr<KoHttp2Body> body;
        // The answer's fields and status digits, which its HEADERS frame
        // points into until it is sent.
        KoHttp2Fields fields;
        std::array<char, 12> status{};  // any int (written before it is read)

        // Empties the entry for a stream to come: nothing of this one
        // stays but the room of its strings and lists (a body's is freed).
        void forget();
    };
    struct Callbacks;
    // The entry of stream id, or null.
    Stream* find(std::int32_t id) { return streams_.find(id); }
    // Drops the stream's entry, kept as a spare (emptied, its lists' room
    // kept) for a stream to come.
    void closeStream(std::int32_t id);
    void fail(std::uint32_t code, const std::string& why);
    bool countFrame(std::uint32_t& counter, std::uint32_t limit, const char* what);
    bool takeResetToken();

    Handler& handler_;
    const KoHttp2Limits limits_;
    KoHttp2Memory memory_;  // nghttp2's; outlives session_
    nghttp2_session* session_ = nullptr;
    KoStreamTable<Stream> streams_;  // no spares while no stream is open
    // The stream whose header block is being decoded (its fields come one
    // by one): found once per block, not per field.
    Stream* headerStream_ = nullptr;

    std::string failure_;
    bool failed_ = false;
    std::size_t bodyBytes_ = 0;  // request bodies held by all streams
    std::size_t lastProduced_ = 0;  // bytes of frames the last produce() made
    Clock::time_point now_{};
    // Where produce() writes while it runs, from where, and how much.
    std::string* output_ = nullptr;
    std::size_t outputStart_ = 0;
    std::size_t outputLimit_ = 0;
    Clock::time_point windowStart_{};
    std::uint32_t controlFrames_ = 0;
    std::uint32_t emptyFrames_ = 0;
    double resetTokens_;
    Clock::time_point resetRefilled_{};
};
