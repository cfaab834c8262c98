#include "server/http_connection.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "message/transceiver.h"

KoHTTPConnection::KoHTTPConnection(KoTransceiver& transceiver_, std::string owner_, std::string peer_,
                                   const KoServerCallback_t& record_, KoConnectionHandler handler_,
                                   std::size_t fileChunk_)
    : KoTransceiverConnection(transceiver_, std::move(owner_), std::move(peer_), record_, std::move(handler_)),
      fileChunk(fileChunk_ == 0 ? 64 * 1024 : fileChunk_) {}

void KoHTTPConnection::Reset() {
    KoTransceiverConnection::Reset();
    std::lock_guard<std::mutex> lock(outputLock);
    later.clear();
}

bool KoHTTPConnection::drainedLocked() const { return outputQueue.empty() && later.empty(); }

void KoHTTPConnection::queueTextLocked(std::string bytes) {
    // Once the connection is to close (after a last answer, or a file cut
    // short), nothing may follow what is queued.
    if (bytes.empty() || closeWhenDrained) return;
    // Behind a file still being sent, bytes wait their turn.
    if (!later.empty()) {
        later.push_back(Later{std::move(bytes), nullptr, 0});
    } else {
        outputQueue.push_back(std::move(bytes));
    }
    refreshOutputWaitingLocked();
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
        std::lock_guard<std::mutex> lock(outputLock);
        queueTextLocked(std::move(bytes));
    }
    buffer = std::make_unique<KoStringBuf>();
}

void KoHTTPConnection::QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted) {
    touch();
    accepted = length;
    if (bytes == nullptr || length == 0) return;
    std::lock_guard<std::mutex> lock(outputLock);
    queueTextLocked(std::string(bytes, length));
}

void KoHTTPConnection::QueueFile(std::shared_ptr<std::ifstream> file, std::uint64_t size, std::uint64_t offset) {
    touch();
    if (!file || size == 0) return;
    std::lock_guard<std::mutex> lock(outputLock);
    if (closeWhenDrained) return;
    later.push_back(Later{{}, std::move(file), size, offset, false});
    refillLocked();
}

void KoHTTPConnection::refillLocked() {
    // Up to two file chunks at a time: the next is read when less than one
    // is left to send.
    std::size_t queued = 0;
    for (const std::string& text : outputQueue) queued += text.size();
    queued -= headSent;
    while (queued < fileChunk && !later.empty()) {
        Later& next = later.front();
        if (!next.file) {
            queued += next.bytes.size();
            outputQueue.push_back(std::move(next.bytes));
            later.pop_front();
            continue;
        }
        if (!next.started) {
            // Another piece of the same file may have moved it.
            next.file->clear();
            next.file->seekg(static_cast<std::streamoff>(next.offset));
            next.started = true;
        }
        std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(next.left, fileChunk)), '\0');
        next.file->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(next.file->gcount());
        chunk.resize(got);
        next.left -= got;
        if (got == 0 || next.left == 0) {
            const bool cut = next.left != 0;
            later.pop_front();
            if (cut) {
                // A file that ends early (cut while being sent) cannot meet
                // its announced length: nothing queued behind it may follow,
                // the peer sees the connection end.
                closeWhenDrained = true;
                later.clear();
            }
        }
        queued += chunk.size();
        if (!chunk.empty()) outputQueue.push_back(std::move(chunk));
    }
    refreshOutputWaitingLocked();
}

int KoHTTPConnection::SendStep(KoSocketIPvx& socket) {
    const int sent = KoTransceiverConnection::SendStep(socket);
    if (sent < 0) return sent;
    std::lock_guard<std::mutex> lock(outputLock);
    // Closing: the loop removes a connection whose step reports closed.
    if (closeWhenDrained && drainedLocked()) return stepClosed;
    return sent;
}

bool KoHTTPConnection::DrainedForClose() const {
    std::lock_guard<std::mutex> lock(outputLock);
    return closeWhenDrained && drainedLocked();
}

void KoHTTPConnection::CloseWhenDrained() {
    {
        std::lock_guard<std::mutex> lock(outputLock);
        closeWhenDrained = true;
        if (!drainedLocked()) {
            refreshOutputWaitingLocked();
            return;
        }
    }
    transceiver.RemoveConnection(name, true);
}

std::size_t KoHTTPConnection::FilesPending() const {
    std::lock_guard<std::mutex> lock(outputLock);
    std::size_t n = 0;
    for (const Later& item : later) n += item.file ? 1 : 0;
    return n;
}
