#include "server/connection/http2_protocol.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/diagnostics.h"
#include "message/answer_sink.h"
#include "message/http_tables.h"
#include "message/request_body_pipe.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "server/connection/http2_answer.h"
#include "server/connection/http_connection.h"
#include "server/connection/http_layer.h"
#include "server/http/http_answer.h"

namespace http2_detail {

// What other threads hand to a connection's protocol: answers, scripts'
// output that has come, the layer's stop. channel is null once the
// connection has ended.
struct Mailbox {
    std::mutex lock;
    KoProtocolChannel* channel = nullptr;
    std::vector<std::pair<std::int32_t, std::shared_ptr<KoXResponseHeader>>> answers;
    std::vector<std::int32_t> resumed;
    bool consumed = false;  // a handler took body bytes
    bool goAway = false;
    // The loop's own: the protocol while it runs, and the loop's thread.
    KoHttp2Protocol* owner = nullptr;
    std::thread::id loop;
};

// Where the answer of one stream goes.
class StreamSink final : public KoAnswerSink {
public:
    StreamSink(std::shared_ptr<Mailbox> mailbox, std::int32_t stream) : mailbox_(std::move(mailbox)), stream_(stream) {}

    // Serves another stream; only while nobody else holds the sink.
    void reuse(std::int32_t stream) {
        stream_ = stream;
        gone = false;
    }

    void answer(std::shared_ptr<KoXResponseHeader> response) override {
        if (!response) return;
        if (std::this_thread::get_id() == mailbox_->loop) {
            // Routed on the loop: answered at once.
            if (mailbox_->owner != nullptr) mailbox_->owner->answerStream(stream_.load(), std::move(response));
            return;
        }
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        if (mailbox_->channel == nullptr) return;
        mailbox_->answers.emplace_back(stream_.load(), std::move(response));
        mailbox_->channel->wake();
    }
    bool ClientGone() const override { return gone.load(); }

    std::atomic<bool> gone{false};

private:
    const std::shared_ptr<Mailbox> mailbox_;
    // Atomic as it changes when the sink is reused (its last holder on
    // another thread may have let go of it just before).
    std::atomic<std::int32_t> stream_;
};

}  // namespace http2_detail

using http2_detail::Mailbox;
using http2_detail::StreamSink;

void KoHttp2Connections::add(const std::shared_ptr<Mailbox>& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    open_.insert(mailbox);
}

void KoHttp2Connections::remove(const std::shared_ptr<Mailbox>& mailbox) {
    std::lock_guard<std::mutex> guard(lock_);
    open_.erase(mailbox);
}

void KoHttp2Connections::goAway() {
    std::unique_lock<std::mutex> guard(lock_);
    for (const auto& mailbox : open_) {
        std::lock_guard<std::mutex> inner(mailbox->lock);
        if (mailbox->channel == nullptr || mailbox->goAway) continue;
        mailbox->goAway = true;
        ++pending_;
        mailbox->channel->wake();
    }
    done_.wait_for(guard, goAwayWait, [this] { return pending_ == 0; });
}

void KoHttp2Connections::goneAway() {
    std::lock_guard<std::mutex> guard(lock_);
    if (pending_ > 0) --pending_;
    if (pending_ == 0) done_.notify_all();
}

namespace {

KoHttp2Limits LimitsOf(const KoHTTPSettings& settings) {
    KoHttp2Limits limits;
    limits.maxStreams = settings.http2.maxStreams;
    limits.maxHeaderList = settings.http2.maxHeaderList;
    // What the session holds itself is held in memory until its stream ends;
    // a body the protocol takes is bound by the parser (maxBodySize).
    limits.maxBody = static_cast<std::size_t>(std::min<std::uint64_t>(settings.limits.maxBodySize, limits.maxBody));
    limits.maxBodies = settings.http2.bodiesInMemory;
    return limits;
}

// A piece of a body with no announced length, as one chunk.
std::string AsChunk(std::string_view bytes) {
    char size[20];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
    std::string chunk;
    chunk.reserve(static_cast<std::size_t>(n) + bytes.size() + 2);
    chunk.append(size, static_cast<std::size_t>(n)).append(bytes).append("\r\n");
    return chunk;
}

constexpr std::string_view kLastChunk = "0\r\n\r\n";

}  // namespace

KoHttp2Protocol::KoHttp2Protocol(KoTransceiverServerL1HTTP& layer, KoHTTPConnection& connection,
                                 std::shared_ptr<KoHttp2Connections> registry)
    : layer_(layer),
      connection_(connection),
      settings_(layer.HTTPSettings()),
      registry_(std::move(registry)),
      mailbox_(std::make_shared<Mailbox>()),
      session_(*this, LimitsOf(layer.HTTPSettings())) {}

KoHttp2Protocol::~KoHttp2Protocol() {
    std::lock_guard<std::mutex> guard(mailbox_->lock);
    mailbox_->channel = nullptr;
    mailbox_->owner = nullptr;
}

void KoHttp2Protocol::started(KoProtocolChannel& channel) {
    channel_ = &channel;
    {
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        mailbox_->channel = &channel;
        mailbox_->owner = this;
        mailbox_->loop = std::this_thread::get_id();
    }
    if (registry_) registry_->add(mailbox_);
    lastInput_ = lastOutput_ = channel.now();
    flush();  // the server's SETTINGS
}

void KoHttp2Protocol::received(std::string_view bytes) {
    if (channel_ == nullptr) return;
    lastInput_ = channel_->now();
    receiving_ = true;
    const bool going = session_.receive(bytes, lastInput_);
    receiving_ = false;
    if (channel_ == nullptr) return;
    if (!going && !session_.failure().empty()) {
        diagnostic("HTTP/2 connection of " + connection_.recordValue("remoteaddress") + " ended: " + session_.failure());
    }
    flush();
}

void KoHttp2Protocol::inputEnded() {
    inputEnded_ = true;
    flush();
}

void KoHttp2Protocol::drained() {
    if (channel_ == nullptr) return;
    lastOutput_ = channel_->now();
    flush();
    if (inputHeld_ && channel_ != nullptr && takesInput()) {
        inputHeld_ = false;
        channel_->resumeInput();
    }
}

void KoHttp2Protocol::woken() {
    takeMail();
    flush();
}

void KoHttp2Protocol::takeMail() {
    std::vector<std::pair<std::int32_t, std::shared_ptr<KoXResponseHeader>>> answers;
    std::vector<std::int32_t> resumed;
    bool goAway = false;
    bool giveBack = false;
    {
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        answers.swap(mailbox_->answers);
        resumed.swap(mailbox_->resumed);
        goAway = mailbox_->goAway;
        mailbox_->goAway = false;
        giveBack = mailbox_->consumed;
        mailbox_->consumed = false;
    }
    if (giveBack) giveBackWindows();
    for (auto& [stream, response] : answers) answerStream(stream, std::move(response));
    for (std::int32_t stream : resumed) session_.resume(stream);
    if (goAway) {
        if (channel_ != nullptr) {
            // The server stops: the client learns it from a GOAWAY, written
            // now, before the connection is closed.
            session_.shutdown();
            flush();
            connection_.Flush();
        }
        if (registry_) registry_->goneAway();
    }
}

bool KoHttp2Protocol::takesInput() const {
    const bool takes = channel_ != nullptr && !closing_ && channel_->unsent() <= settings_.outputBound;
    if (!takes) inputHeld_ = true;
    return takes;
}

bool KoHttp2Protocol::resting() const {
    return channel_ != nullptr && !closing_ && streams_.empty() && session_.openStreams() == 0 && !session_.wantsWrite();
}

KoHttp2Protocol::Clock::time_point KoHttp2Protocol::deadline() const {
    if (channel_ == nullptr) return Clock::time_point::max();
    if (closing_) return closeBy_;
    Clock::time_point due = Clock::time_point::max();
    if (session_.stalledByPeer() || channel_->unsent() > 0) due = lastOutput_ + settings_.http2.stalledOutputTimeout;
    // A stream whose request has not ended.
    if (session_.openStreams() > streams_.size() || bodyAwaited()) due = std::min(due, lastInput_ + settings_.headerDeadline);
    if (session_.openStreams() == 0) due = std::min(due, std::max(lastInput_, lastOutput_) + settings_.http2.idleTimeout);
    return due;
}

bool KoHttp2Protocol::deadlinePassed() {
    if (channel_ == nullptr) return false;
    const Clock::time_point now = channel_->now();
    if (closing_) {
        // The goodbye was not taken either.
        channel_->abort();
        return true;
    }
    if ((session_.stalledByPeer() || channel_->unsent() > 0) &&
        now >= lastOutput_ + settings_.http2.stalledOutputTimeout) {
        // A peer that takes nothing is told why where its socket takes it at
        // once, and not waited for.
        diagnostic("HTTP/2 connection of " + connection_.recordValue("remoteaddress") + " ended: it takes no answer");
        session_.terminate("a peer that takes no answer");
        flush();
        connection_.Flush();
        if (channel_ != nullptr) channel_->abort();
        return true;
    }
    if ((session_.openStreams() > streams_.size() || bodyAwaited()) && now >= lastInput_ + settings_.headerDeadline) {
        session_.terminate("a request that does not end");
    } else {
        session_.shutdown();  // idle
    }
    flush();
    if (channel_ != nullptr && !closing_) {
        closing_ = true;
        closeBy_ = now + settings_.http2.stalledOutputTimeout;
        channel_->closeWhenSent();
    }
    return true;
}

void KoHttp2Protocol::closingIdle() {
    if (channel_ == nullptr || closing_) return;
    // The client learns that it may not send on this connection any more
    // (rather than finding it reset); not flush(), which could close it again.
    session_.shutdown();
    std::string frames;
    session_.produce(frames);
    if (!frames.empty()) channel_->send(std::move(frames));
}

void KoHttp2Protocol::ended() {
    bool goAwayAsked = false;
    {
        std::lock_guard<std::mutex> guard(mailbox_->lock);
        mailbox_->channel = nullptr;
        mailbox_->owner = nullptr;
        mailbox_->answers.clear();
        goAwayAsked = mailbox_->goAway;
        mailbox_->goAway = false;
    }
    if (registry_) {
        registry_->remove(mailbox_);
        if (goAwayAsked) registry_->goneAway();
    }
    for (auto& [id, stream] : streams_) {
        stream->sink->gone = true;
        if (stream->pipe) stream->pipe->end(false);
        // An answer cut by the end: its line says what went out.
        if (stream->answered) log(*stream);
    }
    streams_.clear();
    bodiesInMemory_ = 0;
    channel_ = nullptr;
}

void KoHttp2Protocol::dropStream(std::int32_t id) {
    // Nothing of the stream reaches the next (its request, answer and sink
    // go now); its request line's room stays.
    streams_.keep(streams_.take(id), [](Stream& entry) {
        entry.sink.reset();
        entry.request.reset();
        entry.response.reset();
        entry.requestLine.clear();
        entry.sent = 0;
        entry.answered = false;
        entry.pipe.reset();
        entry.givenBack = 0;
        entry.parsing = false;
        entry.chunked = false;
        entry.inMemory = 0;
        entry.spillBound = 0;
    });
}

void KoHttp2Protocol::request(KoHttp2ServerSession&, KoHttp2Request&& incoming) {
    const std::int32_t id = incoming.stream;
    Stream& stream = openStream(id);
    stream.sink = takeSink(id);
    std::shared_ptr<KoXHeader> request = buildRequest(incoming, stream.requestLine);
    if (!request) return;
    stream.request = request;
    dispatch(id, request);
}

void KoHttp2Protocol::dispatch(std::int32_t id, const std::shared_ptr<KoXHeader>& request) {
    request->answerSink = openStream(id).sink;
    request->answerTicket = 1;
    const int answered = layer_.dispatch(request);
    const Stream* found = findStream(id);
    if (found == nullptr || found->answered || answered == KoTransceiverServerL1HTTP::answerPending) {
        return;
    }
    // Answered without an answer is a failure, not silence.
    auto response = request->MakeAnswer();
    response->statusCode = 500;
    answerStream(id, std::move(response));
}

bool KoHttp2Protocol::bodyAwaited() const {
    for (const auto& [id, stream] : streams_) {
        if (stream->pipe && !stream->pipe->ended() && !stream->pipe->abandoned() && stream->pipe->held() == 0) return true;
        if (stream->parsing) return true;
    }
    return false;
}

bool KoHttp2Protocol::requestStarts(KoHttp2ServerSession&, const KoHttp2Request& head) {
    const std::int32_t id = head.stream;
    Stream& stream = openStream(id);
    stream.sink = takeSink(id);
    std::shared_ptr<KoRequestBodyPipe> pipe;
    bool chunked = false;
    std::shared_ptr<KoXHeader> request = buildRequest(head, stream.requestLine, &pipe, &chunked);
    // Refused at the header's end: answered already; its DATA are dropped.
    if (!request) return true;
    if (!pipe) {
        stream.chunked = chunked;
        stream.parsing = true;
        if (request->BodyKeeping() == KoBodyKeeping::spill) {
            // No body byte is read yet. The streams share one memory bound:
            // a script's body keeps in memory what is left of it, the rest
            // goes to its file.
            std::uint64_t bound = std::min<std::uint64_t>(settings_.bodyMemoryBound, freeBodyMemory());
            std::uint64_t announced = 0;
            if (request->AnnouncedLength(announced)) bound = std::min(bound, announced);
            stream.spillBound = static_cast<std::size_t>(bound);
            request->SetBodyKeeping(KoBodyKeeping::spill, stream.spillBound);
        }
        settle(id, *request, request->ConsumeHeader([](KoXHeader&) { return true; }));
        return true;
    }
    stream.request = request;
    stream.pipe = pipe;
    std::weak_ptr<Mailbox> weak = mailbox_;
    // Told on the handler's thread; the window goes back on the loop.
    pipe->setTakenNotice(
        [weak] {
            auto mailbox = weak.lock();
            if (!mailbox) return;
            std::lock_guard<std::mutex> guard(mailbox->lock);
            if (mailbox->channel == nullptr || mailbox->consumed) return;
            mailbox->consumed = true;
            mailbox->channel->wake();
        },
        16 * 1024);
    dispatch(id, request);
    return true;
}

std::size_t KoHttp2Protocol::freeBodyMemory() const {
    const std::size_t bound = settings_.http2.bodiesInMemory;
    return bodiesInMemory_ < bound ? bound - bodiesInMemory_ : 0;
}

void KoHttp2Protocol::recount(Stream& stream) {
    std::size_t held = 0;
    if (stream.request) {
        const KoXHeader& request = *stream.request;
        if (request.BodyKeeping() == KoBodyKeeping::memory) {
            held = static_cast<std::size_t>(request.BodyBytesReceived());
        } else if (request.BodyKeeping() == KoBodyKeeping::spill && !request.BodySpool()) {
            held = stream.spillBound;
        }
    }
    bodiesInMemory_ = bodiesInMemory_ - stream.inMemory + held;
    stream.inMemory = held;
}

void KoHttp2Protocol::settle(std::int32_t id, KoXHeader& request, int result) {
    Stream* found = findStream(id);
    if (found == nullptr) return;
    if (result == consume_result::NeedMore) {
        found->parsing = true;
        found->request = request.shared_from_this();
        recount(*found);
        return;
    }
    found->parsing = false;
    if (result == consume_result::Complete) {
        request.version = "2.0";
        // Its own handle: the stream may close while it is routed.
        const std::shared_ptr<KoXHeader> whole = request.shared_from_this();
        found->request = whole;
        recount(*found);
        dispatch(id, whole);
        return;
    }
    found->request.reset();
    recount(*found);
    answerPlain(id, request.RefusalStatus() == 0 ? 400 : request.RefusalStatus(), found->requestLine);
}

bool KoHttp2Protocol::feed(std::int32_t id, std::string_view bytes, bool last) {
    Stream* found = findStream(id);
    if (found == nullptr || !found->parsing || !found->request) return false;
    Stream& stream = *found;
    const std::shared_ptr<KoXHeader> request = stream.request;
    if (stream.chunked) {
        if (!bytes.empty()) request->AppendInput(AsChunk(bytes));
        if (last) request->AppendInput(kLastChunk);
    } else {
        request->AppendInput(bytes);
    }
    int result = consume_result::Refused;
    try {
        result = request->ConsumeHeader([](KoXHeader&) { return true; });
    } catch (const std::exception&) {
        result = consume_result::Refused;
    }
    settle(id, *request, result);
    return true;
}

bool KoHttp2Protocol::requestData(KoHttp2ServerSession& session, std::int32_t id, std::string_view bytes) {
    Stream* found = findStream(id);
    if (found == nullptr) return false;
    if (found->parsing) {
        Stream& stream = *found;
        if (stream.request && stream.request->BodyKeeping() == KoBodyKeeping::memory &&
            bytes.size() > freeBodyMemory()) {
            // A body kept whole in memory past what the connection's streams
            // may hold together is refused as one past maxBody.
            stream.parsing = false;
            stream.request.reset();
            recount(stream);
            answerPlain(id, 413, stream.requestLine);
            return false;
        }
        if (!feed(id, bytes, false)) return false;
        // The parser has taken the bytes (into the request, its file, or
        // nowhere): the session holds nothing of them.
        session.consumed(id, bytes.size());
        return true;
    }
    if (!found->pipe) return false;
    KoRequestBodyPipe& pipe = *found->pipe;
    if (pipe.ended() || pipe.abandoned()) return false;
    if (pipe.received() + bytes.size() > settings_.limits.maxBodySize) {
        pipe.end(false);
        answerPlain(id, 413, found->requestLine);
        return false;
    }
    pipe.push(bytes);
    return true;
}

void KoHttp2Protocol::requestEnded(KoHttp2ServerSession&, std::int32_t id) {
    Stream* found = findStream(id);
    if (found == nullptr) return;
    if (found->pipe) found->pipe->end(true);
    // A body of a length ends with its last byte; a chunked one ends here.
    if (found->parsing) feed(id, {}, true);
}

void KoHttp2Protocol::giveBackWindows() {
    for (auto& [id, stream] : streams_) {
        if (!stream->pipe) continue;
        // What the handler took; all of it once nobody reads the rest.
        const std::uint64_t done = stream->pipe->abandoned() ? stream->pipe->received() : stream->pipe->taken();
        if (done <= stream->givenBack) continue;
        session_.consumed(id, static_cast<std::size_t>(done - stream->givenBack));
        stream->givenBack = done;
    }
}

std::shared_ptr<KoXHeader> KoHttp2Protocol::buildRequest(const KoHttp2Request& in, std::string& requestLine,
                                                         std::shared_ptr<KoRequestBodyPipe>* pipe, bool* chunked) {
    requestLine = in.method + " " + in.path;
    std::shared_ptr<KoXHeader> request = layer_.newRequest(connection_);
    const auto filter = [this, pipe](KoXHeader& header) {
        layer_.planBody(header);
        // Early, the pipe is fed by the protocol, not by the parser.
        if (pipe != nullptr && header.BodyKeeping() == KoBodyKeeping::stream) {
            *pipe = header.BodyPipe();
            header.SetBodyPipe(nullptr);
        }
        return true;
    };
    // The parts go through the checks an HTTP/1.1 request line and its field
    // lines pass, so that both make the same request object; a refused part
    // leaves the rest untaken.
    bool marked = false;
    const auto takeFields = [&] {
        if (!request->TakeRequestLine(in.method, in.path, "HTTP/1.1")) return false;
        if (!in.authority.empty() && !request->TakeField("host", in.authority)) return false;
        std::string cookies;
        for (const auto& [name, value] : in.fields) {
            // HTTP/2 may split Cookie into several fields: they are one again.
            if (name == "cookie") {
                if (!cookies.empty()) cookies.append("; ");
                cookies.append(value);
                continue;
            }
            // The body's length is what came (or, early, what is announced);
            // :authority stands for Host.
            if ((name == "content-length" && !pipe) || (name == "host" && !in.authority.empty())) continue;
            if (!request->TakeField(name, value)) return false;
        }
        if (!cookies.empty() && !request->TakeField("cookie", cookies)) return false;
        if (!in.body.empty() && !request->TakeField("content-length", std::to_string(in.body.size()))) return false;
        // Early, a body of no announced length is planned as chunks would be.
        if (pipe != nullptr) {
            marked = std::none_of(in.fields.begin(), in.fields.end(),
                                  [](const auto& f) { return f.first == "content-length"; });
            if (marked && !request->TakeField("transfer-encoding", "chunked")) return false;
        }
        return true;
    };
    int result = consume_result::Refused;
    try {
        result = takeFields() ? request->ConsumeFields(filter) : consume_result::Refused;
        if (result == consume_result::NeedMore && !request->ReadingHeader()) {
            request->AppendInput(in.body);
            result = request->ConsumeHeader(filter);
        }
    } catch (const std::exception&) {
        result = consume_result::Refused;
    }
    if (pipe != nullptr && *pipe && result != consume_result::Refused) {
        if (marked) request->fields.erase("transfer-encoding");
        // Its handler finds it there; the parser is done with the request.
        request->SetBodyPipe(*pipe);
        request->version = "2.0";
        return request;
    }
    if (pipe != nullptr && result != consume_result::Refused) {
        // Any other body is read by the parser as its DATA arrive.
        if (chunked != nullptr) *chunked = marked;
        return request;
    }
    if (pipe != nullptr) pipe->reset();
    if (result != consume_result::Complete) {
        const std::int32_t status = request->RefusalStatus() == 0 ? 400 : request->RefusalStatus();
        answerPlain(in.stream, status, requestLine);
        return nullptr;
    }
    request->version = "2.0";
    return request;
}

void KoHttp2Protocol::answerPlain(std::int32_t stream, int status, const std::string& requestLine) {
    auto response = std::make_shared<KoXResponseHeader>(method_code::ANSWER, false, protocol::HTTPS);
    response->messageKind.store(message_kind::Answer);
    response->statusCode = status;
    response->requestSummary = requestLine;
    KoSetTextBody(*response);
    answerStream(stream, std::move(response));
}

void KoHttp2Protocol::answerStream(std::int32_t id, std::shared_ptr<KoXResponseHeader> response) {
    Stream* found = findStream(id);
    if (channel_ == nullptr || found == nullptr || found->answered || !response) return;
    Stream& stream = *found;
    stream.answered = true;
    // The fields are written into the room of an earlier stream's, which the
    // session keeps with its spare stream entries.
    KoHttp2Answer answer = KoMakeHttp2Answer(*response, &stream.sent, session_.fieldRoom(id));
    if (answer.source) {
        // The script's next piece (or its end) resumes the stream.
        std::weak_ptr<Mailbox> weak = mailbox_;
        answer.source->setWake([weak, id] {
            auto mailbox = weak.lock();
            if (!mailbox) return;
            std::lock_guard<std::mutex> guard(mailbox->lock);
            if (mailbox->channel == nullptr) return;
            mailbox->resumed.push_back(id);
            mailbox->channel->wake();
        });
        answer.source.reset();  // the body holds the reader's handle
    }
    stream.response = response;
    session_.respond(id, answer.status, std::move(answer.fields), std::move(answer.body));
    response->leaveJoinedTask(response->currentJoinedTask());
    if (!receiving_) flush();
}

void KoHttp2Protocol::streamClosed(KoHttp2ServerSession&, std::int32_t id) {
    Stream* found = findStream(id);
    if (found == nullptr) return;
    found->sink->gone = true;
    if (found->pipe) found->pipe->end(false);
    if (found->answered) log(*found);
    bodiesInMemory_ -= found->inMemory;
    std::shared_ptr<StreamSink> sink = std::move(found->sink);
    dropStream(id);
    // Held by nobody else (the request and its answer are gone): it serves
    // a stream to come. As many as streams come and go in a busy turn.
    constexpr std::size_t spareBound = 16;
    if (sink.use_count() == 1 && spareSinks_.size() < spareBound) spareSinks_.push_back(std::move(sink));
}

std::shared_ptr<StreamSink> KoHttp2Protocol::takeSink(std::int32_t id) {
    if (spareSinks_.empty()) return std::make_shared<StreamSink>(mailbox_, id);
    std::shared_ptr<StreamSink> sink = std::move(spareSinks_.back());
    spareSinks_.pop_back();
    sink->reuse(id);
    return sink;
}

void KoHttp2Protocol::log(Stream& stream) {
    if (!stream.response) return;
    const std::shared_ptr<KoXResponseHeader> response = std::move(stream.response);
    layer_.logAnswer(connection_, *response, stream.requestLine, stream.sent, "HTTP/2.0");
}

void KoHttp2Protocol::flush() {
    if (channel_ == nullptr) return;
    const std::size_t bound = settings_.outputBound;
    while (channel_ != nullptr && channel_->unsent() < bound && session_.wantsWrite()) {
        // The frames go out in a buffer of the protocol's own, written into
        // again once the connection has sent it (its room stays from one
        // turn to the next); one still queued is left to the connection.
        if (!frames_ || frames_.use_count() != 1) frames_ = std::make_shared<std::string>(spare_buffers::takeString());
        frames_->clear();
        session_.produce(*frames_, bound);
        if (frames_->empty()) break;
        lastOutput_ = channel_->now();
        channel_->sendShared(frames_);
    }
    if (channel_ == nullptr || closing_) return;
    if (session_.finished() || (inputEnded_ && streams_.empty())) {
        closing_ = true;
        closeBy_ = channel_->now() + settings_.http2.stalledOutputTimeout;
        channel_->closeWhenSent();
    }
}
