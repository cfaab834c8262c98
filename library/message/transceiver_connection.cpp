#include "message/transceiver_connection.h"

#include <algorithm>
#include <utility>

#include "jobs/job_message.h"
#include "message/spare_buffers.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#include "platform/poller.h"
#include "platform/socket.h"
#include "platform/thread_slot.h"

namespace {

std::uint64_t connectionTimeoutMicros(const KoTransceiver& transceiver) {
    return static_cast<std::uint64_t>(transceiver.Settings().connectionTimeout.count());
}

KoEventLoop::Clock::time_point loopNow() {
    const KoEventLoop* loop = KoEventLoop::current();
    return loop != nullptr ? loop->now() : KoEventLoop::Clock::now();
}

// Sent texts are dropped from the front of the queue in batches.
constexpr std::size_t compactAfter = 32;

// What the connections of one listener have in common (its name, its
// record's values): the connections a thread makes one after the other
// share one copy. The record is compared where it lies, so a connection
// like the one before copies nothing. Each thread's last copies are kept in
// its per-thread slots, not thread_local objects: those are freed before
// their destructors run on Windows.
template <int Slot>
struct LastText {
    std::shared_ptr<const std::string> text;
};
struct LastRecord {
    std::shared_ptr<const KoStringMap> values;
};

template <int Slot>
std::shared_ptr<const std::string> SharedText(const std::string& text) {
    std::shared_ptr<const std::string>& last = platform::perThread<LastText<Slot>>().text;
    if (!last || *last != text) last = std::make_shared<const std::string>(text);
    return last;
}

const std::string remoteAddressKey = "remoteaddress";
const std::string remotePortKey = "remoteport";

}  // namespace

void KoTransceiverConnection::takeRecord(const KoStringMap& values) {
    // The peer's values are its own; the rest is shared with the connection
    // made before on this thread when it had the same, compared in one pass.
    std::shared_ptr<const KoStringMap>& last = platform::perThread<LastRecord>().values;
    bool same = last != nullptr;
    KoStringMap::const_iterator held;
    if (same) held = last->begin();
    for (const auto& [key, value] : values) {
        if (key == remoteAddressKey) {
            remoteAddress_ = value;
            hasRemoteAddress_ = true;
        } else if (key == remotePortKey) {
            remotePort_ = value;
            hasRemotePort_ = true;
        } else if (same) {
            same = held != last->end() && held->first == key && held->second == value;
            if (same) ++held;
        }
    }
    if (!same || held != last->end()) {
        KoStringMap own;
        for (const auto& [key, value] : values)
            if (key != remoteAddressKey && key != remotePortKey) own.emplace_hint(own.end(), key, value);
        last = std::make_shared<const KoStringMap>(std::move(own));
    }
    sharedValues_ = last;
}

KoTransceiverConnection::KoTransceiverConnection(KoTransceiver& transceiver_, const std::string& owner_,
                                                 const std::string& peer_, const KoServerCallback_t& record_,
                                                 KoConnectionHandler handler_)
    : KoJobWithTimeout(connectionTimeoutMicros(transceiver_)),
      ownerText_(SharedText<0>(owner_)),
      peerText_(SharedText<1>(peer_)),
      owner(*ownerText_),
      peer(*peerText_),
      transceiver(transceiver_),
      kind(record_.kind),
      handler(std::move(handler_)),
      lastActivity_(Clock::now().time_since_epoch().count()) {
    takeRecord(record_.values);
}

KoTransceiverConnection::~KoTransceiverConnection() {
    withdraw();
    // Its loop lets go of it before the last reference goes; should one be
    // dropped still attached, the wait set must not keep its address (the
    // timer and idle entries leave with their bases).
    if (seat().attached) {
        if (KoEventLoop* loop = Loop()) loop->unwatch(seat().fd);
        seat().attached = false;
    }
    delete wholeRecord_.load();
}

KoStringMap KoTransceiverConnection::recordValues() const {
    KoStringMap values = *sharedValues_;
    if (hasRemoteAddress_) values["remoteaddress"] = remoteAddress_;
    if (hasRemotePort_) values["remoteport"] = remotePort_;
    return values;
}

std::string KoTransceiverConnection::recordValue(const std::string& key) const {
    if (key == "remoteaddress") return remoteAddress_;
    if (key == "remoteport") return remotePort_;
    auto it = sharedValues_->find(key);
    return it == sharedValues_->end() ? std::string() : it->second;
}

const KoServerCallback_t& KoTransceiverConnection::record() const {
    if (const KoServerCallback_t* made = wholeRecord_.load(std::memory_order_acquire)) return *made;
    auto whole = std::make_unique<KoServerCallback_t>();
    whole->kind = kind;
    whole->values = recordValues();
    const KoServerCallback_t* expected = nullptr;
    if (wholeRecord_.compare_exchange_strong(expected, whole.get(), std::memory_order_acq_rel)) return *whole.release();
    return *expected;  // another thread put it together first
}

void KoTransceiverConnection::touch() {
    if (alive.load(std::memory_order_relaxed))
        lastActivity_.store(loopNow().time_since_epoch().count(), std::memory_order_relaxed);
}

KoTransceiverConnection::Clock::time_point KoTransceiverConnection::LastActivity() const {
    return Clock::time_point(Clock::duration(lastActivity_.load(std::memory_order_relaxed)));
}

bool KoTransceiverConnection::checkTimedOut() {
    const bool expired = Clock::now() - LastActivity() >= std::chrono::microseconds(timeoutMicros);
    bool was = alive.load();
    bool now;
    do {
        now = !(was && expired);
    } while (!alive.compare_exchange_weak(was, now));
    return !now;
}

void KoTransceiverConnection::Reset() {
    {
        std::lock_guard<KoSmallLock> lock(inputLock);
        leaveJoinedTask(currentJoinedTask());
        inputBuffer.clear();
        inputWaiting = false;
    }
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        outputQueue.clear();
        headIndex = 0;
        headSent = 0;
    }
    outputWaiting = false;
}

void KoTransceiverConnection::Process() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    alive = false;
    handler(transceiver, *this);
}

void KoTransceiverConnection::refreshOutputWaitingLocked() {
    outputWaiting = !outputEmptyLocked() && outputQueue[headIndex].size() > headSent;
}

void KoTransceiverConnection::pushOutputLocked(std::string bytes) {
    if (outputEmptyLocked()) {
        outputQueue.clear();
        headIndex = 0;
        headSent = 0;
        if (outputQueue.capacity() == 0) outputQueue = spare_buffers::takeQueue();
    }
    outputQueue.push_back(KoOutputPiece{.own = std::move(bytes)});
    refreshOutputWaitingLocked();
}

void KoTransceiverConnection::pushSharedLocked(std::shared_ptr<const std::string> shared, std::size_t offset,
                                               std::size_t length) {
    if (!shared || offset >= shared->size() || length == 0) return;
    if (outputEmptyLocked()) {
        outputQueue.clear();
        headIndex = 0;
        headSent = 0;
        if (outputQueue.capacity() == 0) outputQueue = spare_buffers::takeQueue();
    }
    length = std::min(length, shared->size() - offset);
    outputQueue.push_back(KoOutputPiece{.shared = std::move(shared), .offset = offset, .length = length});
    refreshOutputWaitingLocked();
}

void KoTransceiverConnection::QueueBuffer(std::unique_ptr<KoStringBuf>& buffer) {
    touch();
    if (!buffer) return;
    // Only what the caller has not read from the buffer yet goes out.
    const auto readPos = buffer->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
    std::string bytes = buffer->str();
    const std::size_t skip = readPos < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(readPos), bytes.size());
    if (bytes.size() == skip) return;
    bytes.erase(0, skip);
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        pushOutputLocked(std::move(bytes));
    }
    buffer = std::make_unique<KoStringBuf>();
    requestFlush();
}

void KoTransceiverConnection::QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) {
    touch();
    accepted = length;
    if (bytes == nullptr || length == 0) return;
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        pushOutputLocked(std::string(bytes, length));
    }
    requestFlush();
}

void KoTransceiverConnection::PendingOutput(std::string& out, std::size_t limit) {
    std::lock_guard<KoSmallLock> lock(outputLock);
    out.clear();
    if (outputEmptyLocked()) return;
    const std::string_view head = outputQueue[headIndex].bytes();
    out.assign(head.substr(headSent, std::min(limit, head.size() - headSent)));
}

void KoTransceiverConnection::GatherOutput(std::string& out, std::size_t limit) {
    std::lock_guard<KoSmallLock> lock(outputLock);
    out.clear();
    // Room for all of it at once, not piece by piece.
    std::size_t unsent = 0;
    for (std::size_t i = headIndex; i < outputQueue.size() && unsent < limit; ++i) unsent += outputQueue[i].size();
    out.reserve(std::min(limit, unsent - std::min(unsent, headSent)));
    std::size_t skip = headSent;
    for (std::size_t i = headIndex; i < outputQueue.size() && out.size() < limit; ++i) {
        const std::string_view text = outputQueue[i].bytes();
        out.append(text.substr(skip, std::min(limit - out.size(), text.size() - skip)));
        skip = 0;
    }
}

void KoTransceiverConnection::consumeSentLocked(std::size_t count) {
    while (!outputEmptyLocked()) {
        KoOutputPiece& head = outputQueue[headIndex];
        const std::size_t left = head.size() - headSent;
        if (count < left) {
            headSent += count;
            break;
        }
        count -= left;
        spare_buffers::give(std::move(head.own));
        head = KoOutputPiece{};
        ++headIndex;
        headSent = 0;
    }
    if (outputEmptyLocked()) {
        outputQueue.clear();
        headIndex = 0;
    } else if (headIndex >= compactAfter) {
        outputQueue.erase(outputQueue.begin(), outputQueue.begin() + static_cast<std::ptrdiff_t>(headIndex));
        headIndex = 0;
    }
    refreshOutputWaitingLocked();
    afterSentLocked();
}

void KoTransceiverConnection::OutputSent(std::size_t count) {
    std::lock_guard<KoSmallLock> lock(outputLock);
    consumeSentLocked(count);
}

std::size_t KoTransceiverConnection::QueuedBytes() const {
    std::lock_guard<KoSmallLock> lock(outputLock);
    std::size_t total = 0;
    for (std::size_t i = headIndex; i < outputQueue.size(); ++i) total += outputQueue[i].size();
    return total - headSent;
}

int KoTransceiverConnection::SendStep(KoSocketIPvx& socket) {
    std::size_t sent = 0;
    {
        // The lock is held over the write: the pieces point into the queue.
        // The socket is non-blocking, so the write is short.
        std::lock_guard<KoSmallLock> lock(outputLock);
        const int n = writeQueuedLocked(socket, false);
        if (n == 0) return stepWouldBlock;
        if (n < 0) return n;
        sent = static_cast<std::size_t>(n);
    }
    touch();
    return static_cast<int>(sent);
}

int KoTransceiverConnection::writeQueuedLocked(KoSocketIPvx& socket, bool fileFollows) {
    constexpr std::size_t maxPieces = 16;
    platform::ConstBytes pieces[maxPieces];
    std::size_t count = 0;
    std::size_t total = 0;
    std::size_t skip = headSent;
    for (std::size_t i = headIndex; i < outputQueue.size(); ++i) {
        if (count == maxPieces || total >= sendChunk) break;
        const std::string_view text = outputQueue[i].bytes();
        const std::size_t length = std::min(text.size() - skip, sendChunk - total);
        if (length != 0) pieces[count++] = platform::ConstBytes{text.data() + skip, length};
        total += length;
        skip = 0;
    }
    if (total == 0) return 0;
    // Straight to the descriptor: the endpoint's Send reports a full socket
    // and a failed one alike (0 bytes), and only the second ends the
    // connection.
    const bool more = fileFollows && headIndex + count == outputQueue.size();
    const auto outcome = more ? platform::sendGatherMore(socket.fd(), pieces, count)
                              : platform::sendGather(socket.fd(), pieces, count);
    if (!outcome.error.ok())
        return outcome.error.wouldBlock() || outcome.error.interrupted() ? stepWouldBlock : stepClosed;
    if (outcome.bytes == 0) return stepWouldBlock;
    consumeSentLocked(outcome.bytes);
    return static_cast<int>(outcome.bytes);
}

int KoTransceiverConnection::InputArrived(const char* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0) return 0;
    touch();
    {
        std::lock_guard<KoSmallLock> lock(inputLock);
        if (inputBuffer.empty() && inputBuffer.capacity() < length) inputBuffer = spare_buffers::takeString();
        inputBuffer.append(bytes, length);
        inputWaiting = true;
    }
    KoJobMessage message;
    message.code = job_code::inputArrived;
    message.name = name;
    message.text = name;
    transceiver.send(owner, message);
    return static_cast<int>(length);
}

int KoTransceiverConnection::ReceiveStep(KoSocketIPvx& socket) {
    KoEventLoop* loop = KoEventLoop::current();
    char local[receiveChunk];
    char* buffer = loop != nullptr ? loop->scratch() : local;
    std::size_t received = 0;
    socket.Receive(buffer, receiveChunk, received);
    if (received > 0) {
        InputArrived(buffer, received);
        return static_cast<int>(received);
    }
    // No bytes: the peer closed, the read failed (lastError), or a
    // readiness report was stale.
    if (socket.closed() || socket.lastError() != 0) return stepClosed;
    return stepWouldBlock;
}

bool KoTransceiverConnection::PeerGone() const {
    if (!Registered()) return true;
    // seat().fd was set before the connection was registered. Should the loop
    // close it and its number be reused right after the look above, this
    // looks at another socket once; the next look sees it unregistered.
    const auto ready = platform::waitDescriptor(seat().fd, platform::readable, 0);
    return ready.ok() && (ready.value() & (platform::hangup | platform::failed | platform::invalid)) != 0;
}

bool KoTransceiverConnection::PeerFinished() const { return seat().socket && seat().socket->closed() && seat().socket->lastError() == 0; }

void KoTransceiverConnection::TakeInput(KoStringBuf& out) {
    std::string bytes;
    TakeInput(bytes);
    out.sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void KoTransceiverConnection::TakeInput(std::string& out) {
    std::lock_guard<KoSmallLock> lock(inputLock);
    if (out.empty()) {
        out.swap(inputBuffer);
    } else {
        out.append(inputBuffer);
    }
    inputBuffer.clear();
    inputWaiting = false;
}

// --- loop side -------------------------------------------------------------

void KoTransceiverConnection::inputEnded() { transceiver.closeOnLoop(*this, tellsOwnerOfEnd(), false); }

KoTransceiverConnection::Clock::time_point KoTransceiverConnection::deadline() const {
    return LastActivity() + std::chrono::microseconds(timeoutMicros);
}

void KoTransceiverConnection::deadlinePassed() { transceiver.closeOnLoop(*this, tellsOwnerOfEnd(), false); }

void KoTransceiverConnection::restExpired() { transceiver.closeOnLoop(*this, false, false); }

void KoTransceiverConnection::rest() {
    if (!seat().attached) return;  // closed: never back on the idle list
    if (KoEventLoop* loop = Loop()) loop->rest(*this);
}

void KoTransceiverConnection::unrest() {
    if (KoEventLoop* loop = Loop()) loop->unrest(*this);
}

void KoTransceiverConnection::revisit() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr || seat().revisiting || !seat().attached) return;
    auto self = weak_from_this().lock();
    if (!self) return;
    seat().revisiting = true;
    loop->defer([self] {
        self->seat().revisiting = false;
        // Readiness comes from the wait set; only bytes the transport holds
        // are read without it.
        self->transceiver.drive(*self, self->TransportHoldsInput() ? platform::readable : 0u);
    });
}

void KoTransceiverConnection::requestFlush() {
    if (!Registered()) return;
    KoEventLoop* loop = Loop();
    if (loop == nullptr) return;
    if (loop->onLoopThread()) {
        // In a drive the loop writes when the hook returns.
        if (!seat().driving) revisit();
        return;
    }
    if (seat().flushPosted.exchange(true)) return;
    auto self = weak_from_this().lock();
    if (!self) {
        seat().flushPosted = false;
        return;
    }
    loop->post([self] {
        self->seat().flushPosted = false;
        self->transceiver.drive(*self, 0);
    });
}

void KoTransceiverConnection::releaseBufferSpace() {
    {
        std::lock_guard<KoSmallLock> lock(inputLock);
        if (inputBuffer.empty()) spare_buffers::give(std::move(inputBuffer));
    }
    std::lock_guard<KoSmallLock> lock(outputLock);
    if (outputEmptyLocked()) spare_buffers::give(std::move(outputQueue));
}

void KoTransceiverConnection::resetOnClose() {
    if (seat().socket) seat().socket->ResetOnClose();
}

void KoTransceiverConnection::flushNow() {
    KoEventLoop* loop = Loop();
    if (seat().attached && loop != nullptr && loop->onLoopThread()) transceiver.flush(*this);
}

void KoTransceiverConnection::ready(unsigned events) { transceiver.drive(*this, events); }

void KoTransceiverConnection::expired() {
    if (!seat().attached) return;
    const KoEventLoop* loop = Loop();
    if (deadline() > loop->now()) {
        transceiver.updateDeadline(*this);
        return;
    }
    deadlinePassed();
    if (seat().attached) transceiver.afterWork(*this);
}

void KoTransceiverConnection::idleExpired() {
    if (!seat().attached) return;
    restExpired();
    if (seat().attached) transceiver.afterWork(*this);
}
