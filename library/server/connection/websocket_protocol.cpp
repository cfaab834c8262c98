#include "server/connection/websocket_protocol.h"

#include <utility>

namespace {

// What a frame adds to its payload, at most.
constexpr std::size_t kFrameOverhead = 10;

const char* const kNotReading = "the client does not read";

}  // namespace

KoWebSocketPeer::KoWebSocketPeer(std::size_t maxQueued_, bool closeWhenFull_, std::size_t inputBound_)
    : maxQueued(maxQueued_), closeWhenFull(closeWhenFull_), inputBound(inputBound_ == 0 ? 1 : inputBound_) {}

KoWebSocketPeer::Sent KoWebSocketPeer::queueLocked(Outgoing outgoing, std::size_t size) {
    if (ended || closeAsked) return Sent::closed;
    if (outboxBytes + loopQueued.load() + size > maxQueued) {
        if (closeWhenFull) {
            closeAsked = true;
            Outgoing failing;
            failing.close = true;
            failing.code = websocket_close::policyViolation;
            failing.payload = kNotReading;
            outbox.push_back(std::move(failing));
            wakeLocked();
        }
        return Sent::full;
    }
    outboxBytes += size;
    outbox.push_back(std::move(outgoing));
    wakeLocked();
    return Sent::queued;
}

KoWebSocketPeer::Sent KoWebSocketPeer::send(KoWebSocketOpcode opcode, std::string payload) {
    const std::size_t size = payload.size() + kFrameOverhead;
    Outgoing outgoing;
    outgoing.opcode = opcode;
    outgoing.payload = std::move(payload);
    std::lock_guard<std::mutex> guard(lock);
    return queueLocked(std::move(outgoing), size);
}

KoWebSocketPeer::Sent KoWebSocketPeer::sendShared(KoWebSocketFrame frame) {
    if (!frame) return Sent::closed;
    const std::size_t size = frame->size();
    Outgoing outgoing;
    outgoing.frame = std::move(frame);
    std::lock_guard<std::mutex> guard(lock);
    return queueLocked(std::move(outgoing), size);
}

void KoWebSocketPeer::close(std::uint16_t code, std::string reason) {
    std::lock_guard<std::mutex> guard(lock);
    if (ended || closeAsked) return;
    closeAsked = true;
    Outgoing closing;
    closing.close = true;
    closing.code = code;
    closing.payload = std::move(reason);
    outbox.push_back(std::move(closing));
    wakeLocked();
}

bool KoWebSocketPeer::open() const {
    std::lock_guard<std::mutex> guard(lock);
    return !ended && !closeAsked;
}

std::size_t KoWebSocketPeer::queued() const {
    std::lock_guard<std::mutex> guard(lock);
    return outboxBytes + loopQueued.load();
}

void KoWebSocketPeer::consumed(std::size_t bytes) {
    const std::size_t before = pendingInput.fetch_sub(bytes);
    if (before - bytes >= inputBound || !inputHeld.load()) return;
    std::lock_guard<std::mutex> guard(lock);
    wakeLocked();
}

bool KoWebSocketPeer::waitEnded(std::chrono::steady_clock::time_point until) const {
    std::unique_lock<std::mutex> guard(lock);
    return endedSignal.wait_until(guard, until, [this] { return ended; });
}

void KoWebSocketPeer::endLocked() {
    ended = true;
    channel = nullptr;
    endedSignal.notify_all();
}

void KoWebSocketPeer::wakeLocked() {
    if (channel != nullptr) channel->wake();
}

KoWebSocketProtocol::KoWebSocketProtocol(KoWebSocketProtocolSettings settings_, std::shared_ptr<KoWebSocketPeer> peer_,
                                         std::shared_ptr<KoWebSocketPeer::Listener> listener_)
    : settings(std::move(settings_)),
      peer(std::move(peer_)),
      listener(std::move(listener_)),
      session(*this, settings.session, settings.deflate) {}

KoWebSocketProtocol::~KoWebSocketProtocol() {
    // A protocol that never started (the connection ended first) still
    // lets its host know.
    if (!closedTold) {
        {
            std::lock_guard<std::mutex> guard(peer->lock);
            peer->endLocked();
        }
        tellClosed(1006, "");
    }
}

void KoWebSocketProtocol::started(KoProtocolChannel& channel_) {
    channel = &channel_;
    lastHeard = channel->now();
    {
        std::lock_guard<std::mutex> guard(peer->lock);
        peer->channel = channel;
    }
    listener->opened();
    // What the host sent from onOpen on may already wait.
    woken();
}

void KoWebSocketProtocol::received(std::string_view bytes) {
    if (channel == nullptr || inputDone) return;
    // After a failure the rest is read and dropped: closing the socket with
    // the client's bytes unread would reset it, and the client would lose
    // the close frame that tells it why.
    if (session.failed()) return;
    lastHeard = channel->now();
    awaitingPong = false;
    if (!session.receive(bytes) && !session.failed()) inputDone = true;
    pump();
}

void KoWebSocketProtocol::message(KoWebSocketOpcode opcode, std::string&& payload) {
    peer->pendingInput += payload.size();
    listener->message(std::move(payload), opcode == KoWebSocketOpcode::binary);
}

void KoWebSocketProtocol::closing(std::uint16_t code, const std::string& reason) {
    {
        std::lock_guard<std::mutex> guard(peer->lock);
        peer->closeAsked = true;
    }
    tellClosed(code, reason);
}

void KoWebSocketProtocol::tellClosed(std::uint16_t code, const std::string& reason) {
    if (closedTold) return;
    closedTold = true;
    listener->closed(code, reason);
}

void KoWebSocketProtocol::woken() {
    if (channel == nullptr) return;
    std::deque<KoWebSocketPeer::Outgoing> taken;
    {
        std::lock_guard<std::mutex> guard(peer->lock);
        taken.swap(peer->outbox);
        peer->outboxBytes = 0;
    }
    for (KoWebSocketPeer::Outgoing& outgoing : taken) {
        if (outgoing.close) {
            if (outgoing.code == websocket_close::policyViolation && outgoing.payload == kNotReading) {
                tellClosed(outgoing.code, outgoing.payload);
            }
            session.close(outgoing.code, outgoing.payload);
        } else if (outgoing.frame) {
            session.sendShared(outgoing.frame);
        } else {
            session.send(outgoing.opcode, outgoing.payload);
        }
    }
    if (peer->inputHeld.load() && peer->pendingInput.load() < peer->inputBound) {
        peer->inputHeld = false;
        channel->resumeInput();
    }
    pump();
}

void KoWebSocketProtocol::pump() {
    if (channel == nullptr) return;
    while (channel->unsent() < settings.handBound) {
        if (KoWebSocketFrame frame = session.frontFrame()) {
            const std::size_t size = frame->size();
            channel->sendShared(std::move(frame));
            session.sent(size);
            continue;
        }
        const std::string_view rest = session.front();
        if (rest.empty()) break;
        channel->send(std::string(rest));
        session.sent(rest.size());
    }
    peer->loopQueued = session.queuedBytes() + static_cast<std::size_t>(channel->unsent());
    if (session.closeSent() && closeSentAt == Clock::time_point{}) closeSentAt = channel->now();
    // A failed connection ends when the client ends its side, or closeWait
    // after the close frame.
    if (session.closed() && session.front().empty() && !closing_ && !session.failed()) {
        closing_ = true;
        channel->closeWhenSent();
    }
}

bool KoWebSocketProtocol::takesInput() const {
    if (inputDone || closing_) return false;
    if (peer->pendingInput.load() < peer->inputBound) return true;
    peer->inputHeld = true;
    return false;
}

KoWebSocketProtocol::Clock::time_point KoWebSocketProtocol::deadline() const {
    if (channel == nullptr || closing_) return Clock::time_point::max();
    if (closeSentAt != Clock::time_point{}) return closeSentAt + settings.closeWait;
    if (settings.pingInterval.count() <= 0) return Clock::time_point::max();
    return lastHeard + settings.pingInterval * (awaitingPong ? 2 : 1);
}

bool KoWebSocketProtocol::deadlinePassed() {
    // A close not answered in time, or a client silent through a ping and
    // its wait: the connection ends.
    if (channel == nullptr || closeSentAt != Clock::time_point{} || awaitingPong) return false;
    session.ping();
    awaitingPong = true;
    pump();
    return true;
}

void KoWebSocketProtocol::inputEnded() {
    inputDone = true;
    if (channel == nullptr || closing_) return;
    closing_ = true;
    channel->closeWhenSent();
}

void KoWebSocketProtocol::ended() {
    {
        std::lock_guard<std::mutex> guard(peer->lock);
        peer->endLocked();
        peer->outbox.clear();
        peer->outboxBytes = 0;
    }
    peer->loopQueued = 0;
    channel = nullptr;
    tellClosed(1006, "");
}
