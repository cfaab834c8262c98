#include "message/transceiver_connection.h"

#include <algorithm>
#include <utility>

#include "foundation/text_utils.h"
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

// The shared part of a connection like the one this thread made before is
// that one's: the record is compared where it lies, so such a connection
// copies nothing. Each thread's last copy is kept in its per-thread slot,
// not a thread_local object: those are freed before their destructors run
// on Windows.
struct LastShared {
    std::shared_ptr<const KoTransceiverConnection::Shared> shared;
};

const std::string remoteAddressKey = "remoteaddress";
const std::string remotePortKey = "remoteport";

// A port in its canonical decimal form ("0" to "65535", no sign, no
// leading zero): the one the number gives back exactly.
bool CanonicalPort(const std::string& text, std::uint16_t& port) {
    const std::uint64_t value = parseUnsignedOr(text, 65536);
    if (value > 65535 || std::to_string(value) != text) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

std::shared_ptr<const KoTransceiverConnection::Shared> KoTransceiverConnection::SharedPart(
    const std::string& owner_, const std::string& peer_, const KoStringMap& values) {
    // The peer's values are its own; the rest is shared with the connection
    // made before on this thread when it had the same, compared in one pass.
    std::shared_ptr<const Shared>& last = platform::perThread<LastShared>().shared;
    const auto peersOwn = [](const std::string& key, const std::string& value) {
        std::uint16_t port = 0;
        return key == remoteAddressKey || (key == remotePortKey && CanonicalPort(value, port));
    };
    bool same = last != nullptr && last->owner == owner_ && last->peer == peer_;
    KoStringMap::const_iterator held;
    if (same) held = last->values.begin();
    for (auto it = values.begin(); same && it != values.end(); ++it) {
        if (peersOwn(it->first, it->second)) continue;
        same = held != last->values.end() && held->first == it->first && held->second == it->second;
        if (same) ++held;
    }
    if (same && held == last->values.end()) return last;
    auto made = std::make_shared<Shared>();
    made->owner = owner_;
    made->peer = peer_;
    for (const auto& [key, value] : values)
        if (!peersOwn(key, value)) made->values.emplace_hint(made->values.end(), key, value);
    last = std::move(made);
    return last;
}

KoTransceiverConnection::KoTransceiverConnection(KoTransceiver& transceiver_, const std::string& owner_,
                                                 const std::string& peer_, const KoServerCallback_t& record_,
                                                 KoConnectionHandler handler_)
    : KoJobWithTimeout(connectionTimeoutMicros(transceiver_)),
      shared_(SharedPart(owner_, peer_, record_.values)),
      transceiver(transceiver_),
      kind(record_.kind),
      handler(handler_) {
    if (const auto address = record_.values.find(remoteAddressKey); address != record_.values.end()) {
        remoteAddress_ = address->second;
        hasRemoteAddress_ = true;
    }
    if (const auto port = record_.values.find(remotePortKey); port != record_.values.end())
        hasRemotePort_ = CanonicalPort(port->second, remotePort_);
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
    KoStringMap values = shared_->values;
    if (hasRemoteAddress_) values[remoteAddressKey] = remoteAddress_;
    if (hasRemotePort_) values[remotePortKey] = std::to_string(remotePort_);
    return values;
}

std::string KoTransceiverConnection::recordValue(const std::string& key) const {
    if (key == remoteAddressKey) return remoteAddress_;
    if (key == remotePortKey && hasRemotePort_) return std::to_string(remotePort_);
    auto it = shared_->values.find(key);
    return it == shared_->values.end() ? std::string() : it->second;
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
    if (alive.load(std::memory_order_relaxed)) restartFrom(loopNow());
}

KoTransceiverConnection::Clock::time_point KoTransceiverConnection::LastActivity() const { return lastRestart(); }

void KoTransceiverConnection::Reset() {
    {
        std::lock_guard<KoSmallLock> lock(inputLock);
        leaveJoinedTask(currentJoinedTask());
        if (inputBuffer) inputBuffer->clear();
        inputWaiting = false;
    }
    {
        std::lock_guard<KoSmallLock> lock(outputLock);
        if (outputQueue) {
            outputQueue->pieces.clear();
            outputQueue->headIndex = 0;
            outputQueue->headSent = 0;
        }
    }
    outputWaiting = false;
}

void KoTransceiverConnection::Process() {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    alive = false;
    if (handler == nullptr) throw std::bad_function_call();
    handler(transceiver, *this);
}

void KoTransceiverConnection::refreshOutputWaitingLocked() {
    outputWaiting = !outputEmptyLocked() && outputQueue->pieces[outputQueue->headIndex].size() > outputQueue->headSent;
}

KoOutputQueue& KoTransceiverConnection::emptiedOrTakenQueueLocked() {
    if (!outputQueue) {
        outputQueue = spare_buffers::takeQueue();
    } else if (outputQueue->empty()) {
        outputQueue->pieces.clear();
        outputQueue->headIndex = 0;
        outputQueue->headSent = 0;
    }
    return *outputQueue;
}

void KoTransceiverConnection::pushOutputLocked(std::string bytes) {
    emptiedOrTakenQueueLocked().pieces.push_back(KoOutputPiece{.own = std::move(bytes)});
    refreshOutputWaitingLocked();
}

void KoTransceiverConnection::pushSharedLocked(std::shared_ptr<const std::string> shared, std::size_t offset,
                                               std::size_t length) {
    if (!shared || offset >= shared->size() || length == 0) return;
    length = std::min(length, shared->size() - offset);
    emptiedOrTakenQueueLocked().pieces.push_back(
        KoOutputPiece{.shared = std::move(shared), .offset = offset, .length = length});
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
    const std::string_view head = outputQueue->pieces[outputQueue->headIndex].bytes();
    out.assign(head.substr(outputQueue->headSent, std::min(limit, head.size() - outputQueue->headSent)));
}

void KoTransceiverConnection::GatherOutput(std::string& out, std::size_t limit) {
    std::lock_guard<KoSmallLock> lock(outputLock);
    out.clear();
    if (outputEmptyLocked()) return;
    const KoOutputQueue& queue = *outputQueue;
    // Room for all of it at once, not piece by piece.
    std::size_t unsent = 0;
    for (std::size_t i = queue.headIndex; i < queue.pieces.size() && unsent < limit; ++i)
        unsent += queue.pieces[i].size();
    out.reserve(std::min(limit, unsent - std::min(unsent, queue.headSent)));
    std::size_t skip = queue.headSent;
    for (std::size_t i = queue.headIndex; i < queue.pieces.size() && out.size() < limit; ++i) {
        const std::string_view text = queue.pieces[i].bytes();
        out.append(text.substr(skip, std::min(limit - out.size(), text.size() - skip)));
        skip = 0;
    }
}

void KoTransceiverConnection::consumeSentLocked(std::size_t count) {
    if (outputQueue) {
        KoOutputQueue& queue = *outputQueue;
        while (!queue.empty()) {
            KoOutputPiece& head = queue.pieces[queue.headIndex];
            const std::size_t left = head.size() - queue.headSent;
            if (count < left) {
                queue.headSent += count;
                break;
            }
            count -= left;
            spare_buffers::give(std::move(head.own));
            head = KoOutputPiece{};
            ++queue.headIndex;
            queue.headSent = 0;
        }
        if (queue.empty()) {
            queue.pieces.clear();
            queue.headIndex = 0;
        } else if (queue.headIndex >= compactAfter) {
            queue.pieces.erase(queue.pieces.begin(),
                               queue.pieces.begin() + static_cast<std::ptrdiff_t>(queue.headIndex));
            queue.headIndex = 0;
        }
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
    return unsentLocked();
}

std::size_t KoTransceiverConnection::unsentLocked() const {
    if (outputEmptyLocked()) return 0;
    std::size_t total = 0;
    for (std::size_t i = outputQueue->headIndex; i < outputQueue->pieces.size(); ++i) total += outputQueue->pieces[i].size();
    return total - outputQueue->headSent;
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
    if (outputEmptyLocked()) return 0;
    const KoOutputQueue& queue = *outputQueue;
    std::size_t skip = queue.headSent;
    for (std::size_t i = queue.headIndex; i < queue.pieces.size(); ++i) {
        if (count == maxPieces || total >= sendChunk) break;
        const std::string_view text = queue.pieces[i].bytes();
        const std::size_t length = std::min(text.size() - skip, sendChunk - total);
        if (length != 0) pieces[count++] = platform::ConstBytes{text.data() + skip, length};
        total += length;
        skip = 0;
    }
    if (total == 0) return 0;
    // Straight to the descriptor: the endpoint's Send reports a full socket
    // and a failed one alike (0 bytes), and only the second ends the
    // connection.
    const bool more = fileFollows && queue.headIndex + count == queue.pieces.size();
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
        appendInputLocked(bytes, length);
    }
    KoJobMessage message;
    message.code = job_code::inputArrived;
    message.name = name;
    message.text = name;
    transceiver.send(owner(), message);
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

void KoTransceiverConnection::appendInputLocked(const char* bytes, std::size_t length) {
    if (!inputBuffer) inputBuffer = spare_buffers::takeBuffer();
    std::string& buffer = *inputBuffer;
    if (buffer.empty() && buffer.capacity() < length) buffer = spare_buffers::takeString();
    buffer.append(bytes, length);
    inputWaiting = true;
}

void KoTransceiverConnection::TakeInput(KoStringBuf& out) {
    std::string bytes;
    TakeInput(bytes);
    out.sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void KoTransceiverConnection::TakeInput(std::string& out) {
    std::lock_guard<KoSmallLock> lock(inputLock);
    if (inputBuffer) {
        if (out.empty()) {
            out.swap(*inputBuffer);
        } else {
            out.append(*inputBuffer);
        }
        inputBuffer->clear();
    }
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
        if (inputBuffer && inputBuffer->empty()) spare_buffers::give(std::move(inputBuffer));
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
