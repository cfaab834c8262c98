#include "message/transceiver_connection.h"

#include <algorithm>
#include <utility>

#include "jobs/job_message.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#include "platform/socket.h"

namespace {

std::uint64_t connectionTimeoutMicros(const KoTransceiver& transceiver) {
    return static_cast<std::uint64_t>(transceiver.Settings().connectionTimeout.count());
}

}  // namespace

KoTransceiverConnection::KoTransceiverConnection(KoTransceiver& transceiver_, std::string owner_,
                                                 std::string peer_, const KoServerCallback_t& record_,
                                                 KoConnectionHandler handler_)
    : KoJobWithTimeout(connectionTimeoutMicros(transceiver_)),
      owner(std::move(owner_)),
      peer(std::move(peer_)),
      transceiver(transceiver_),
      kind(record_.kind),
      record(record_),
      handler(std::move(handler_)) {}

KoTransceiverConnection::~KoTransceiverConnection() = default;

bool KoTransceiverConnection::attachToJoinedTask(const std::string& joinedTaskName) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    currentGroup = joinedTaskName;
    return KoJobWithTimeout::attachToJoinedTask(joinedTaskName);
}

bool KoTransceiverConnection::leaveCurrentJoinedTask(const std::string& joinedTaskName) {
    std::lock_guard<KoDeliveryLock> lock(deliveryLock);
    currentGroup.clear();
    return KoJobWithTimeout::leaveCurrentJoinedTask(joinedTaskName);
}

void KoTransceiverConnection::Reset() {
    {
        std::lock_guard<std::mutex> lock(inputLock);
        leaveJoinedTask(currentJoinedTask());
        inputBuffer.clear();
        inputWaiting = false;
    }
    {
        std::lock_guard<std::mutex> lock(outputLock);
        outputQueue.clear();
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
    outputWaiting = !outputQueue.empty() && outputQueue.front().size() > headSent;
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
        std::lock_guard<std::mutex> lock(outputLock);
        outputQueue.push_back(std::move(bytes));
        refreshOutputWaitingLocked();
    }
    buffer = std::make_unique<KoStringBuf>();
}

void KoTransceiverConnection::QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) {
    touch();
    accepted = length;
    if (bytes == nullptr || length == 0) return;
    std::lock_guard<std::mutex> lock(outputLock);
    outputQueue.emplace_back(bytes, length);
    refreshOutputWaitingLocked();
}

void KoTransceiverConnection::PendingOutput(std::string& out, std::size_t limit) {
    std::lock_guard<std::mutex> lock(outputLock);
    out.clear();
    if (outputQueue.empty()) return;
    const std::string& head = outputQueue.front();
    out.assign(head, headSent, std::min(limit, head.size() - headSent));
}

void KoTransceiverConnection::GatherOutput(std::string& out, std::size_t limit) {
    std::lock_guard<std::mutex> lock(outputLock);
    out.clear();
    std::size_t skip = headSent;
    for (const std::string& text : outputQueue) {
        if (out.size() >= limit) break;
        out.append(text, skip, std::min(limit - out.size(), text.size() - skip));
        skip = 0;
    }
}

void KoTransceiverConnection::consumeSentLocked(std::size_t count) {
    while (!outputQueue.empty()) {
        const std::size_t left = outputQueue.front().size() - headSent;
        if (count < left) {
            headSent += count;
            break;
        }
        count -= left;
        outputQueue.pop_front();
        headSent = 0;
    }
    refreshOutputWaitingLocked();
    afterSentLocked();
}

void KoTransceiverConnection::OutputSent(std::size_t count) {
    std::lock_guard<std::mutex> lock(outputLock);
    consumeSentLocked(count);
}

std::size_t KoTransceiverConnection::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(outputLock);
    std::size_t total = 0;
    for (const auto& text : outputQueue) total += text.size();
    return total - headSent;
}

int KoTransceiverConnection::SendStep(KoSocketIPvx& socket) {
    std::size_t sent = 0;
    {
        // The lock is held over the write: the pieces point into the queue.
        // The socket is non-blocking, so the write is short.
        std::lock_guard<std::mutex> lock(outputLock);
        constexpr std::size_t maxPieces = 16;
        platform::ConstBytes pieces[maxPieces];
        std::size_t count = 0;
        std::size_t total = 0;
        std::size_t skip = headSent;
        for (const std::string& text : outputQueue) {
            if (count == maxPieces || total >= sendChunk) break;
            const std::size_t length = std::min(text.size() - skip, sendChunk - total);
            if (length != 0) pieces[count++] = platform::ConstBytes{text.data() + skip, length};
            total += length;
            skip = 0;
        }
        if (total == 0) return stepWouldBlock;
        // Straight to the descriptor: the endpoint's Send reports a full
        // socket and a failed one alike (0 bytes), and only the second ends
        // the connection.
        const auto outcome = platform::sendGather(socket.fd(), pieces, count);
        if (!outcome.error.ok())
            return outcome.error.wouldBlock() || outcome.error.interrupted() ? stepWouldBlock : stepClosed;
        if (outcome.bytes == 0) return stepWouldBlock;
        consumeSentLocked(outcome.bytes);
        sent = outcome.bytes;
    }
    touch();
    return static_cast<int>(sent);
}

int KoTransceiverConnection::TrySendStep(KoSocketIPvx& socket, bool& stepped) {
    std::unique_lock<std::mutex> lock(sendStepLock, std::try_to_lock);
    stepped = lock.owns_lock();
    if (!stepped) return stepWouldBlock;
    const int sent = SendStep(socket);
    // A transport step here (a TLS handshake) may have read input that the
    // socket will not announce to the receive loop again.
    if (TransportHoldsInput()) transceiver.WakeReceiver();
    return sent;
}

int KoTransceiverConnection::InputArrived(const char* bytes, std::size_t length) {
    if (bytes == nullptr || length == 0) return 0;
    touch();
    {
        std::lock_guard<std::mutex> lock(inputLock);
        inputBuffer.append(bytes, length);
        inputWaiting = true;
    }
    KoJobMessage message;
    message.code = 8;
    message.name = name;
    message.text = name;
    transceiver.send(owner, message);
    return static_cast<int>(length);
}

int KoTransceiverConnection::ReceiveStep(KoSocketIPvx& socket) {
    char buffer[receiveChunk];
    std::size_t received = 0;
    socket.Receive(buffer, sizeof buffer, received);
    if (received > 0) {
        InputArrived(buffer, received);
        return static_cast<int>(received);
    }
    // No bytes: the peer closed, the read failed (lastError), or a
    // readiness report was stale.
    if (socket.closed() || socket.lastError() != 0) return stepClosed;
    return stepWouldBlock;
}

void KoTransceiverConnection::TakeInput(KoStringBuf& out) {
    std::string bytes;
    TakeInput(bytes);
    out.sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void KoTransceiverConnection::TakeInput(std::string& out) {
    std::lock_guard<std::mutex> lock(inputLock);
    out.append(inputBuffer);
    inputBuffer.clear();
    inputWaiting = false;
}
