#include "server/connection/http_connection.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <utility>

#include "jobs/no_destructor.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "net/socket_ipvx.h"
#include "platform/socket.h"

namespace {

// Bytes handed to one sendfile call at most; the socket takes what it can.
constexpr std::size_t sendfileStep = 4 * 1024 * 1024;
// Unparsed input kept for requests behind the one being answered.
constexpr std::size_t carryBound = 64 * 1024;
// Requests one turn answers before the loop's other connections have
// theirs: a client that pipelines thousands must not hold its loop.
constexpr int requestsPerTurn = 16;
const std::string kContentLength = "content-length";

KoEventLoop::Clock::time_point LoopNow() {
    const KoEventLoop* loop = KoEventLoop::current();
    return loop != nullptr ? loop->now() : KoEventLoop::Clock::now();
}

// Whether the client waits to be told to send the body it announced (a
// sound length the limits take): only then is "100 Continue" sent.
bool WaitsForContinue(const KoXHeader& header) {
    if (!KoAsksToContinue(header) || KoIsHttp10Request(header)) return false;
    auto field = header.fields.find(kContentLength);
    if (field == header.fields.end()) return false;
    const std::string length = field->second.empty() ? std::string() : field->second.front();
    // A malformed or oversized length is refused once the header is
    // complete; it must not fail here.
    std::uint64_t announced = 0;
    const char* end = length.data() + length.size();
    const auto parsed = std::from_chars(length.data(), end, announced);
    return parsed.ec == std::errc() && parsed.ptr == end && announced != 0 &&
           announced <= header.Limits().maxBodySize;
}

const KoHTTPPacing defaultPacing;

// The key under which a loop keeps the description a closed connection made.
const char descriptionKept = 0;

}  // namespace

KoHTTPConnection::KoHTTPConnection(KoTransceiver& transceiver_, const std::string& owner_,
                                   const std::string& peer_, const KoServerCallback_t& record_,
                                   KoConnectionHandler handler_, std::size_t fileChunk_, Server* server,
                                   const Pacing* pacing)
    : KoTransceiverConnection(transceiver_, owner_, peer_, record_, std::move(handler_)),
      fileChunk(fileChunk_ == 0 ? 64 * 1024 : fileChunk_),
      server_(server),
      pacing_(pacing != nullptr ? pacing : &defaultPacing) {}

void KoHTTPConnection::Reset() {
    KoTransceiverConnection::Reset();
    std::lock_guard<KoSmallLock> lock(outputLock);
    later.clear();
    laterWaiting = false;
}

// --- output ---------------------------------------------------------------------

bool KoHTTPConnection::drainedLocked() const { return outputEmptyLocked() && later.empty(); }

void KoHTTPConnection::popLaterLocked() {
    later.pop_front();
    refreshLaterLocked();
}

void KoHTTPConnection::refreshLaterLocked() {
    // A stream whose maker has nothing yet gives the send step nothing to do.
    laterWaiting = !later.empty() && !(later.front().source && !later.front().source->ready());
}

void KoHTTPConnection::queueTextLocked(std::string bytes) {
    // Once the connection is to close (after a last answer, or a file cut
    // short), nothing may follow what is queued.
    if (bytes.empty() || closeWhenDrained) return;
    // Behind a file still being sent, bytes wait their turn.
    if (!later.empty()) {
        later.push_back(Later{.bytes = std::move(bytes)});
        refreshLaterLocked();
    } else {
        pushOutputLocked(std::move(bytes));
    }
}

void KoHTTPConnection::QueueText(std::string text) {
    touch();
    if (text.empty()) return;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        queueTextLocked(std::move(text));
    }
    requestFlush();
}

void KoHTTPConnection::QueueShared(std::shared_ptr<const std::string> shared, std::size_t offset,
                                   std::size_t length) {
    touch();
    if (!shared || offset >= shared->size() || length == 0) return;
    length = std::min(length, shared->size() - offset);
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        if (closeWhenDrained) return;
        if (!later.empty()) {
            later.push_back(Later{.shared = std::move(shared), .offset = offset, .left = length});
            refreshLaterLocked();
        } else {
            pushSharedLocked(std::move(shared), offset, length);
        }
    }
    requestFlush();
}

void KoHTTPConnection::QueueBuffer(std::unique_ptr<KoStringBuf>& buffer) {
    touch();
    if (!buffer) return;
    const auto readPos = buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    std::string bytes = buffer->str();
    const std::size_t skip =
        readPos < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(readPos), bytes.size());
    if (bytes.size() == skip) return;
    bytes.erase(0, skip);
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        queueTextLocked(std::move(bytes));
    }
    buffer = std::make_unique<KoStringBuf>();
    requestFlush();
}

void KoHTTPConnection::QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) {
    accepted = length;
    if (bytes == nullptr || length == 0) {
        touch();
        return;
    }
    QueueText(std::string(bytes, length));
}

void KoHTTPConnection::QueueFile(std::shared_ptr<std::ifstream> file, std::uint64_t size, std::uint64_t offset) {
    touch();
    if (!file || size == 0) return;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        if (closeWhenDrained) return;
        later.push_back(Later{.stream = std::move(file), .offset = offset, .left = size});
        refillLocked();
    }
    requestFlush();
}

void KoHTTPConnection::QueueStream(std::shared_ptr<KoBodyStream> source, bool chunked, StreamEnded ended) {
    touch();
    if (!source) return;
    std::weak_ptr<KoTransceiverConnection> weak = weak_from_this();
    source->setWake([weak] {
        if (auto self = std::static_pointer_cast<KoHTTPConnection>(weak.lock())) self->streamWoken();
    });
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        Later item;
        item.source = std::move(source);
        item.chunked = chunked;
        item.ended = std::move(ended);
        if (closeWhenDrained) {
            // Nothing may follow: the stream ends unsent.
            announceStreamEnd(std::move(item.ended), 0, false);
            return;
        }
        busy().exchange.streaming = true;
        later.push_back(std::move(item));
        refillLocked();
    }
    requestFlush();
}

void KoHTTPConnection::streamWoken() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr || streamWakePosted.exchange(true)) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) return;
    const bool posted = loop->post([self] {
        self->streamWakePosted = false;
        {
            std::lock_guard<KoSmallLock> lock(self->outputLock);
            self->refillLocked();
        }
        self->requestFlush();
    });
    if (!posted) streamWakePosted = false;
}

void KoHTTPConnection::announceStreamEnd(StreamEnded ended, std::uint64_t bytes, bool complete) {
    // Output lock held: told later, or by closing() should the connection
    // end first, but told once.
    streamEnds.push_back(StreamEnd{std::move(ended), bytes, complete});
    KoEventLoop* loop = Loop();
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (loop == nullptr || !self) return;
    auto task = [self] { self->streamEnded(); };
    if (loop->onLoopThread()) {
        loop->defer(std::move(task));
    } else {
        loop->post(std::move(task));
    }
}

void KoHTTPConnection::tellStreamEnds() {
    std::vector<StreamEnd> ends;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        ends = streamEnds.take();
    }
    for (const StreamEnd& end : ends) {
        if (end.ended) end.ended(*this, end.bytes, end.complete);
    }
}

void KoHTTPConnection::streamEnded() {
    if (!Registered()) return;
    tellStreamEnds();
    if (!busy_) return;
    Exchange& x = busy_->exchange;
    if (!x.streaming || !Attached()) return;
    x.streaming = false;
    // The answer is whole (or cut): the requests behind it may go on.
    if (x.busy && x.answered && !x.routing) x.busy = false;
    revisit();
}

void KoHTTPConnection::closing(bool orderly) {
    if (!orderly) sayGoodbyeWhileResting();
    endProtocol();
    cutStreamedBody();
    tellStreamEnds();
    std::vector<Later> dropped;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        dropped = later.take();
        laterWaiting = false;
    }
    // A body still streaming is cut: its log line says what went out.
    for (Later& item : dropped) {
        if (item.source && item.ended) item.ended(*this, item.streamed, false);
    }
    if (busy_) busy_->exchange.streaming = false;
    if (BodyCut()) resetOnClose();
    KoTransceiverConnection::closing(orderly);
    // What it kept for its next request serves the loop's next connection.
    if (busy_) busy_->reader.release();
    keepDescription();
    releaseBufferSpace();
    // The sources go with `dropped`: their makers stop.
}

bool KoHTTPConnection::refillFromSourceLocked(std::size_t& queued) {
    Later& next = later.front();
    std::string piece;
    const KoBodyStream::Taken taken = next.source->take(piece, fileChunk);
    if (taken == KoBodyStream::Taken::empty) return false;
    if (taken == KoBodyStream::Taken::bytes) {
        const std::size_t size = piece.size();
        if (next.chunked) {
            char line[24];
            const int length = std::snprintf(line, sizeof line, "%zx\r\n", size);
            pushOutputLocked(std::string(line, static_cast<std::size_t>(length)));
            pushOutputLocked(std::move(piece));
            pushOutputLocked("\r\n");
            next.streamed += static_cast<std::size_t>(length) + size + 2;
            queued += static_cast<std::size_t>(length) + size + 2;
        } else {
            pushOutputLocked(std::move(piece));
            next.streamed += size;
            queued += size;
        }
        return true;
    }
    const bool complete = taken == KoBodyStream::Taken::ended;
    std::uint64_t bytes = next.streamed;
    if (complete && next.chunked) {
        pushOutputLocked("0\r\n\r\n");
        bytes += 5;
        queued += 5;
    }
    StreamEnded ended = std::move(next.ended);
    popLaterLocked();
    if (!complete) {
        // The client must see the body cut short, never a whole-looking one.
        closeWhenDrained = true;
        bodyCut = true;
        later.clear();
        laterWaiting = false;
    }
    announceStreamEnd(std::move(ended), bytes, complete);
    return true;
}

void KoHTTPConnection::QueueFile(std::shared_ptr<const KoOpenFile> file, std::uint64_t offset, std::uint64_t length) {
    touch();
    if (!file || length == 0) return;
    // Kept in memory: no read, and the bytes as they were when opened.
    if (file->content && offset + length <= file->content->size()) {
        QueueShared(file->content, static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
        return;
    }
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        if (closeWhenDrained) return;
        const bool bySendfile = sendsFiles_ && length >= pacing_->sendfileThreshold;
        later.push_back(Later{.file = std::move(file), .offset = offset, .left = length, .bySendfile = bySendfile});
        refillLocked();
    }
    requestFlush();
}

std::string KoHTTPConnection::readChunk(Later& item, std::size_t count) {
    std::string chunk(count, '\0');
    std::size_t got = 0;
    if (item.stream) {
        if (!item.started) {
            // Another piece of the same stream may have moved it.
            item.stream->clear();
            item.stream->seekg(static_cast<std::streamoff>(item.offset));
            item.started = true;
        }
        item.stream->read(chunk.data(), static_cast<std::streamsize>(count));
        got = static_cast<std::size_t>(item.stream->gcount());
    } else if (item.file) {
        got = readFileInto(item, chunk.data(), count);
    }
    chunk.resize(got);
    return chunk;
}

std::size_t KoHTTPConnection::readFileInto(Later& item, char* into, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const auto read = platform::readAt(item.file->descriptor.get(), into + got, count - got, item.offset + got);
        if (!read.error.ok() || read.bytes == 0) break;
        got += read.bytes;
    }
    item.offset += got;
    return got;
}

std::shared_ptr<std::string> KoHTTPConnection::freeRoomLocked(Later& item) {
    // The queue lets go of a piece under the output lock, so a count of one
    // here means nobody else reads the buffer.
    for (auto& room : item.rooms) {
        if (!room) room = std::make_shared<std::string>(fileChunk, '\0');
        if (room.use_count() == 1) return room;
    }
    return nullptr;
}

void KoHTTPConnection::refillLocked() {
    // Up to two chunks at a time: the next is read when less than one is
    // left to send.
    std::size_t queued = unsentLocked();
    while (queued < fileChunk && !later.empty()) {
        Later& next = later.front();
        if (next.bySendfile) break;  // the send step takes it from its descriptor
        if (next.source) {
            if (!refillFromSourceLocked(queued)) break;
            continue;
        }
        if (next.shared) {
            queued += static_cast<std::size_t>(next.left);
            std::shared_ptr<const std::string> shared = std::move(next.shared);
            const auto offset = static_cast<std::size_t>(next.offset), length = static_cast<std::size_t>(next.left);
            popLaterLocked();
            pushSharedLocked(std::move(shared), offset, length);
            continue;
        }
        if (!next.stream && !next.file) {
            queued += next.bytes.size();
            std::string bytes = std::move(next.bytes);
            popLaterLocked();
            pushOutputLocked(std::move(bytes));
            continue;
        }
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(next.left, fileChunk));
        // An open file is read into a buffer of its own, not a new string each chunk.
        std::shared_ptr<std::string> room = next.file ? freeRoomLocked(next) : nullptr;
        std::string chunk = room ? std::string() : readChunk(next, count);
        const std::size_t got = room ? readFileInto(next, room->data(), count) : chunk.size();
        next.left -= got;
        if (got == 0 || next.left == 0) {
            const bool cut = next.left != 0;
            popLaterLocked();
            if (cut) {
                // A file that ends early (cut while being sent) cannot meet
                // its announced length: nothing queued behind it may follow,
                // the peer sees the connection end.
                closeWhenDrained = true;
                later.clear();
                laterWaiting = false;
            }
        }
        queued += got;
        if (room && got != 0) {
            pushSharedLocked(std::move(room), 0, got);
        } else if (!chunk.empty()) {
            pushOutputLocked(std::move(chunk));
        }
    }
    refreshLaterLocked();
    refreshOutputWaitingLocked();
}

int KoHTTPConnection::sendFileLocked(KoSocketIPvx& socket, Later& item) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(item.left, sendfileStep));
    const auto outcome = platform::sendFileRange(socket.fd(), item.file->descriptor.get(), item.offset, want);
    if (!outcome.error.ok())
        return outcome.error.wouldBlock() || outcome.error.interrupted() ? stepWouldBlock : stepClosed;
    if (outcome.bytes == 0) {
        // Shorter than announced: the peer can only be told by the end of
        // the connection.
        closeWhenDrained = true;
        later.clear();
        laterWaiting = false;
        return stepClosed;
    }
    item.offset += outcome.bytes;
    item.left -= outcome.bytes;
    if (item.left == 0) {
        popLaterLocked();
        refillLocked();
    }
    return static_cast<int>(outcome.bytes);
}

void KoHTTPConnection::choosePathLocked(KoSocketIPvx& socket, Later& item) {
    if (!item.bySendfile || item.placeKnown) return;
    item.placeKnown = true;
    if (item.left < pacing_->localCopyThreshold || !platform::peerOnThisHost(socket.fd())) return;
    item.bySendfile = false;
    // Its first chunk joins a header still queued, in one write.
    refillLocked();
}

int KoHTTPConnection::SendStep(KoSocketIPvx& socket) {
    std::size_t sent = 0;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        if (!later.empty()) choosePathLocked(socket, later.front());
        if (outputEmptyLocked() && !later.empty() && later.front().bySendfile) {
            const int n = sendFileLocked(socket, later.front());
            if (n <= 0) return n;
            sent = static_cast<std::size_t>(n);
        } else {
            if (outputEmptyLocked()) refillLocked();
            // A header whose file follows by sendfile waits briefly for it,
            // so that both leave in one segment.
            const int n = writeQueuedLocked(socket, !later.empty() && later.front().bySendfile);
            if (n < 0) return n;
            sent = static_cast<std::size_t>(n);
        }
        // Closing: the loop removes a connection whose step reports closed.
        if (closeWhenDrained && drainedLocked()) return stepClosed;
        if (sent == 0) return stepWouldBlock;
    }
    touch();
    return static_cast<int>(sent);
}

bool KoHTTPConnection::WantsToSend() const { return OutputWaiting() || laterWaiting.load(); }

bool KoHTTPConnection::DrainedForClose() const {
    // Once set the flag stays: without it nothing needs the lock.
    if (!closeWhenDrained.load()) return false;
    std::lock_guard<KoSmallLock> lock(outputLock);
    return drainedLocked();
}

bool KoHTTPConnection::BodyCut() const {
    std::lock_guard<KoSmallLock> lock(outputLock);
    return bodyCut;
}

bool KoHTTPConnection::CloseRequested() const { return closeWhenDrained.load(); }

void KoHTTPConnection::CloseWhenDrained() {
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        closeWhenDrained = true;
    }
    // Its loop closes it once the queue is written (at once when empty).
    if (Registered()) {
        requestFlush();
    }
}

std::size_t KoHTTPConnection::FilesPending() const {
    std::lock_guard<KoSmallLock> lock(outputLock);
    std::size_t n = 0;
    for (const Later& item : later) n += (item.stream || item.file) ? 1 : 0;
    return n;
}

std::uint64_t KoHTTPConnection::UnsentBytes() const {
    std::lock_guard<KoSmallLock> lock(outputLock);
    std::uint64_t total = unsentLocked();
    for (const Later& item : later) {
        total += item.bytes.empty() ? item.left : item.bytes.size();
    }
    return total;
}

// --- being served on the loop --------------------------------------------------

int KoHTTPConnection::InputArrived(const char* bytes, std::size_t length) {
    if (server_ == nullptr) return KoTransceiverConnection::InputArrived(bytes, length);
    if (bytes == nullptr || length == 0) return 0;
    touch();
    unrest();
    awaitingFirst_ = false;
    std::lock_guard<KoSmallLock> lock(inputLock);
    appendInputLocked(bytes, length);
    return static_cast<int>(length);
}

void KoHTTPConnection::attached() {
    if (server_ == nullptr) return;
    attachedAt_ = Loop()->now();
    Settle();
}

void KoHTTPConnection::Settle() {
    // A connection its loop closed (its answer failed on the way) is gone.
    if (!Attached()) return;
    if (server_ == nullptr || switched_ || readerNow().current() || exchangeNow().busy || readerNow().held() != 0)
        return;
    if (inputClosed_) {
        // The peer said all it had to say, and all of it is answered.
        CloseWhenDrained();
        return;
    }
    // Idle only once its answers are out: a long download is not idle.
    if (WantsToSend() || resting()) return;
    rest();
    if (busy_) busy_->reader.release();
    releaseBufferSpace();
    settled();
}

void KoHTTPConnection::outputDrained() {
    if (switched_) {
        if (switched_->ended) return;
        switched_->protocol->drained();
        settleProtocol(true);
        return;
    }
    Settle();
}

void KoHTTPConnection::inputReady() {
    if (server_ != nullptr) serveRequests();
}

void KoHTTPConnection::serveRequests() {
    if (switched_) {
        serveProtocol();
        return;
    }
    // Nothing frees it while requests are served: only the loop's quiet time.
    Busy& state = busy();
    KoRequestReader& reader = state.reader;
    Exchange& x = state.exchange;
    {
        std::string fresh;
        TakeInput(fresh);
        reader.append(std::move(fresh));
    }
    for (int turn = 0;; ++turn) {
        // An answer that failed on the way closed the connection: nothing of
        // it may go on (least of all rest on the loop's idle list).
        // A body read for a handler that has its request goes on meanwhile.
        const bool bodyForHandler = x.bodyPipe && reader.current();
        if (!Attached() || (x.busy && !bodyForHandler) || CloseRequested() || turn == requestsPerTurn) return;
        // Nothing more to read: Settle waits for the output itself.
        if (!reader.current() && reader.held() == 0) {
            Settle();
            return;
        }
        // The next request waits until its answer's turn has come: it goes
        // on as the output drains.
        if (UnsentBytes() > pacing_->outputBound) return;
        const auto now = LoopNow();
        if (!reader.current()) {
            reader.begin(server_->newRequest(*this));
            x.firstByte = now;
            x.lastProgress = now;
            x.headerDone = false;
            x.bodyBytes = 0;
        }
        const std::shared_ptr<KoXHeader> reading = reader.current();
        bool headerEnded = false;
        const auto filter = [&](KoXHeader& header) {
            headerEnded = true;
            // The client waits for this before it sends the body: only a
            // request that will be answered with its body is told to go on.
            if (server_->planBody(header) && WaitsForContinue(header)) QueueText("HTTP/1.1 100 Continue\r\n\r\n");
            return true;
        };
        std::shared_ptr<KoXHeader> done;
        const KoRequestReader::Outcome outcome = reader.read(filter, done);
        if (outcome == KoRequestReader::Outcome::needMore) {
            if (headerEnded && !x.headerDone) {
                x.headerDone = true;
                x.lastProgress = now;
            }
            const std::uint64_t body = reading->BodyBytesReceived();
            if (x.headerDone && body != x.bodyBytes) {
                x.bodyBytes = body;
                x.lastProgress = now;
            }
            // The peer ended its input inside a request: it can never be
            // complete (bytes held back for a slow handler still count).
            if (inputClosed_ && !(x.bodyPipe && x.bodyPipe->waitingForReader())) {
                cutStreamedBody();
                reader.abandon();
                CloseWhenDrained();
                return;
            }
            // An upload's handler reads the body as it comes: it has the
            // request from its header's end on.
            if (reading->BodyPipe() && !x.bodyPipe && !x.busy) {
                x.bodyPipe = reading->BodyPipe();
                std::weak_ptr<KoTransceiverConnection> weak = weak_from_this();
                x.bodyPipe->setRoom([weak] {
                    if (auto self = std::static_pointer_cast<KoHTTPConnection>(weak.lock())) self->bodyRoom();
                });
                server_->route(*this, reading);
                if (!Attached() || switched_) return;
                // Answered without its handler (a 500 of the layer's): nobody reads the rest.
                if (x.answered && x.bodyPipe) x.bodyPipe->abandon();
                continue;
            }
            return;
        }
        if (outcome == KoRequestReader::Outcome::refused) {
            if (x.bodyPipe) {
                // The parser cut the pipe; a handler's answer after this refusal is not written.
                x.bodyPipe.reset();
                if (x.answered) {
                    CloseWhenDrained();
                    return;
                }
                x.answered = true;
            }
            server_->refuse(*this, done->RefusalStatus() == 0 ? 400 : done->RefusalStatus());
            return;
        }
        if (x.bodyPipe) {
            // The end of a body whose request its handler has had since the header.
            x.bodyPipe.reset();
            if (x.busy) return;
            if (done->closeAfter || x.closeAfterAnswer) {
                CloseWhenDrained();
                return;
            }
            continue;
        }
        server_->route(*this, done);
        if (switched_) return;  // the connection speaks another protocol now
        if (x.busy) return;  // its answer comes later
        if (done->closeAfter) {
            CloseWhenDrained();
            return;
        }
    }
}

bool KoHTTPConnection::TakesInput() const {
    if (server_ == nullptr) return true;
    if (switched_) return !switched_->ended && switched_->protocol->takesInput() && !CloseRequested();
    const Exchange& x = exchangeNow();
    return (!x.busy || x.bodyPipe) && readerNow().held() < carryBound &&
           UnsentBytes() <= pacing_->outputBound && !CloseRequested();
}

bool KoHTTPConnection::wantsInput() const {
    if (server_ != nullptr && !transportReady()) return true;  // the handshake needs the peer's bytes
    return TakesInput();
}

bool KoHTTPConnection::wantsToServe() const {
    if (switched_) return inputWaiting && TakesInput();
    // A streamed body waits while its pipe is full.
    const Exchange& x = exchangeNow();
    const bool bodyGoesOn = x.bodyPipe && !x.bodyPipe->waitingForReader();
    return server_ != nullptr && (!x.busy || bodyGoesOn) && readerNow().held() != 0 &&
           UnsentBytes() <= pacing_->outputBound && !CloseRequested();
}

void KoHTTPConnection::inputEnded() {
    if (server_ == nullptr) {
        KoTransceiverConnection::inputEnded();
        return;
    }
    inputClosed_ = true;
    unrest();
    if (switched_) {
        serveProtocol();
        if (!switched_->ended) switched_->protocol->inputEnded();
        return;
    }
    serveRequests();
}

bool KoHTTPConnection::finished() const { return DrainedForClose(); }

KoHTTPConnection::Clock::time_point KoHTTPConnection::deadline() const {
    if (server_ == nullptr) return KoTransceiverConnection::deadline();
    Clock::time_point due = transportDeadline();
    if (switched_) return switched_->ended ? due : std::min(due, switched_->protocol->deadline());
    // A peer that connects and says nothing holds a descriptor for the
    // header deadline at most.
    if (awaitingFirst_) due = std::min(due, attachedAt_ + pacing_->headerDeadline);
    // A streamed body is the client's to send unless its handler holds it up.
    const Exchange& x = exchangeNow();
    const bool bodyFromClient = x.bodyPipe && !x.bodyPipe->waitingForReader();
    if (readerNow().current() && (!x.busy || bodyFromClient)) {
        due = std::min(due, x.headerDone ? x.lastProgress + pacing_->bodyProgressDeadline
                                         : x.firstByte + pacing_->headerDeadline);
    }
    // A peer that takes none of its answer is given the idle time-out.
    if (WantsToSend()) due = std::min(due, KoTransceiverConnection::deadline());
    return due;
}

void KoHTTPConnection::deadlinePassed() {
    if (server_ == nullptr) {
        KoTransceiverConnection::deadlinePassed();
        return;
    }
    if (switched_ && !switched_->ended && switched_->protocol->deadline() <= LoopNow() &&
        switched_->protocol->deadlinePassed())
        return;
    if (busy_ && busy_->exchange.bodyPipe && busy_->reader.current()) {
        // A streamed body stalled: its handler learns it is cut, and its
        // answer, if it has not answered yet, is the connection's last.
        cutStreamedBody();
        busy_->reader.abandon();
        if (busy_->exchange.busy && !busy_->exchange.answered) {
            busy_->exchange.closeAfterAnswer = true;
        } else {
            CloseWhenDrained();
        }
        return;
    }
    if (busy_ && busy_->reader.current() && !busy_->exchange.busy && transportReady()) {
        // A request's header or body took too long.
        busy_->reader.abandon();
        server_->refuse(*this, 408);
        return;
    }
    transceiver.RemoveConnection(*this, false);
}

const std::shared_ptr<const KoStringMap>& KoHTTPConnection::requestDescription() {
    std::shared_ptr<const KoStringMap>& kept = busy().description;
    if (!kept) {
        // The one a closed connection of the loop left, its values
        // replaced in place when it has the same keys.
        KoEventLoop* loop = Loop();
        auto values = loop != nullptr && loop->onLoopThread()
                          ? std::static_pointer_cast<KoStringMap>(loop->take(&descriptionKept))
                          : nullptr;
        if (!values || !refillDescription(*values)) {
            if (values) {
                while (!values->empty()) spare_buffers::give(values->extract(values->begin()));
            } else {
                // Made mutable: a request that changes its description copies it.
                // Its nodes and block come from the loop's spares, where the last
                // idle spell gave them.
                values = std::allocate_shared<KoStringMap>(spare_buffers::SpareBlockAllocator<KoStringMap>());
            }
            forEachRecordValue([&values](const std::string& key, const std::string& value) {
                spare_buffers::ValueNode node = spare_buffers::takeValueNode();
                if (node.empty()) {
                    values->emplace_hint(values->end(), key, value);
                    return;
                }
                node.key() = key;
                node.mapped() = value;
                values->insert(values->end(), std::move(node));
            });
        }
        describeTransport(*values);
        kept = std::move(values);
    }
    return kept;
}

bool KoHTTPConnection::refillDescription(KoStringMap& values) const {
    auto at = values.begin();
    bool same = true;
    forEachRecordValue([&](const std::string& key, const std::string& value) {
        if (!same) return;
        same = at != values.end() && at->first == key;
        if (!same) return;
        at->second = value;
        ++at;
    });
    if (!same) return false;
    // What the transport added for the last connection.
    values.erase(at, values.end());
    return true;
}

void KoHTTPConnection::keepDescription() {
    // Only while no request holds it.
    if (!busy_ || !busy_->description || busy_->description.use_count() != 1) return;
    KoEventLoop* loop = Loop();
    if (loop == nullptr || !loop->onLoopThread()) return;
    loop->keep(&descriptionKept, std::const_pointer_cast<KoStringMap>(std::move(busy_->description)));
}

void KoHTTPConnection::quiet() {
    // Its loop has nothing to do: what it keeps for its next request goes
    // (not after every request, which a busy connection makes again).
    if (!Attached()) return;
    releaseDescription();
    releaseBusy();
    if (switched_ && !switched_->ended && switched_->protocol->resting()) switched_->protocol->releaseMemory();
}

KoHTTPConnection::Busy& KoHTTPConnection::busy() {
    if (!busy_) busy_ = std::make_unique<Busy>();
    return *busy_;
}

const KoHTTPConnection::Exchange& KoHTTPConnection::exchangeNow() const {
    static velko::NoDestructor<const Exchange> atRest;
    return busy_ ? busy_->exchange : atRest.get();
}

const KoRequestReader& KoHTTPConnection::readerNow() const {
    static velko::NoDestructor<const KoRequestReader> atRest;
    return busy_ ? busy_->reader : atRest.get();
}

void KoHTTPConnection::releaseBusy() {
    // Quiet comes from the loop itself, never from inside a request's
    // routing, so nothing holds a reference into it now. After a switch the
    // exchange is over for good; before one, only an exchange at rest goes.
    if (!busy_) return;
    const Exchange& x = busy_->exchange;
    const KoRequestReader& reader = busy_->reader;
    if (!switched_ && (x.busy || x.streaming || x.bodyPipe || reader.current() || reader.held() != 0)) return;
    busy_.reset();
}

void KoHTTPConnection::releaseDescription() {
    // Only while no request holds it: its nodes go to the loop's spares.
    if (!busy_ || !busy_->description || busy_->description.use_count() != 1) return;
    auto& values = const_cast<KoStringMap&>(*busy_->description);
    while (!values.empty()) spare_buffers::give(values.extract(values.begin()));
    busy_->description.reset();
}

void KoHTTPConnection::answer(std::shared_ptr<KoXResponseHeader> response) {
    if (!response) return;
    KoEventLoop* loop = Loop();
    if (loop == nullptr) return;
    if (loop->onLoopThread()) {
        deliverAnswer(response);
        return;
    }
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) return;
    loop->post([self, response] { self->deliverAnswer(response); });
}

void KoHTTPConnection::WriteUnasked(std::shared_ptr<KoXResponseHeader> response) {
    KoEventLoop* loop = Loop();
    if (!response || loop == nullptr || server_ == nullptr) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) return;
    const auto write = [self, response] {
        if (self->Registered() && self->Attached()) self->server_->write(*self, response);
    };
    if (loop->onLoopThread()) {
        write();
    } else {
        loop->post(write);
    }
}

void KoHTTPConnection::Resume() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr || server_ == nullptr) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) return;
    loop->post([self] {
        const Exchange& x = self->exchangeNow();
        if (!self->Registered() || !self->Attached() || (x.busy && !x.bodyPipe)) return;
        self->serveRequests();
        self->revisit();
    });
}

void KoHTTPConnection::bodyRoom() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) return;
    loop->post([self] {
        if (!self->Registered() || !self->Attached() || !self->exchangeNow().bodyPipe) return;
        // The wait was the handler's, not the client's.
        self->busy().exchange.lastProgress = LoopNow();
        self->serveRequests();
        self->revisit();
    });
}

void KoHTTPConnection::cutStreamedBody() {
    if (!busy_ || !busy_->exchange.bodyPipe) return;
    busy_->exchange.bodyPipe->end(false);
    busy_->exchange.bodyPipe.reset();
}

void KoHTTPConnection::answeredBeforeBodyEnd() {
    // Nobody reads the rest: it is read past (within maxBody and the body
    // time-out). Closing instead would leave it unread, and the reset that
    // a close with unread input makes can destroy the answer on its way.
    busy().exchange.bodyPipe->abandon();
}

void KoHTTPConnection::deliverAnswer(const std::shared_ptr<KoXResponseHeader>& response) {
    if (server_ == nullptr || !Registered() || !Attached() || !busy_) return;
    Exchange& x = busy_->exchange;
    // Only the awaited answer, once.
    if (!x.busy || x.answered || response->answerTicket != answerTicket_) return;
    x.answered = true;
    if (x.bodyPipe) answeredBeforeBodyEnd();
    if (x.closeAfterAnswer) response->closeAfter = true;
    server_->write(*this, response);
    if (x.routing) return;  // serveRequests() takes it from here
    if (!Attached()) return;  // writing it ended the connection
    if (x.streaming) return;  // the stream's end goes on
    // An answer that came later (a CGI run): write it, then go on with the
    // requests behind it.
    x.busy = false;
    revisit();
}
