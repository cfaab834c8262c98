// KoHTTPConnection once it speaks another protocol: the channel it gives the
// protocol, and how input, output, deadlines and the end reach it.
#include <mutex>
#include <utility>

#include "message/event_loop.h"
#include "message/transceiver.h"
#include "server/connection/http_connection.h"

void KoHTTPConnection::Channel::send(std::string bytes) {
    connection_.switched_->buffersReleased = false;
    connection_.QueueText(std::move(bytes));
}
void KoHTTPConnection::Channel::sendShared(std::shared_ptr<const std::string> bytes) {
    if (!bytes) return;
    connection_.switched_->buffersReleased = false;
    const std::size_t size = bytes->size();
    connection_.QueueShared(std::move(bytes), 0, size);
}
std::uint64_t KoHTTPConnection::Channel::unsent() const { return connection_.UnsentBytes(); }
void KoHTTPConnection::Channel::closeWhenSent() { connection_.CloseWhenDrained(); }
void KoHTTPConnection::Channel::abort() { connection_.transceiver.RemoveConnection(connection_, false); }
void KoHTTPConnection::Channel::wake() { connection_.wakeProtocol(); }
void KoHTTPConnection::Channel::resumeInput() { connection_.revisit(); }

KoHTTPConnection::Channel::Clock::time_point KoHTTPConnection::Channel::now() const {
    const KoEventLoop* loop = connection_.Loop();
    return loop != nullptr ? loop->now() : Clock::now();
}

void KoHTTPConnection::SwitchProtocol(std::unique_ptr<KoConnectionProtocol> protocol) {
    if (!protocol || switched_) return;
    switched_ = std::make_unique<Switched>(*this, std::move(protocol));
    // The request that asked for the switch is answered; none follows.
    std::string held;
    if (busy_) {
        // The layer may still hold the exchange: it is reset, not freed.
        busy_->reader.abandon();
        busy_->exchange = Exchange{};
        held = busy_->reader.takeHeld();
    }
    awaitingFirst_ = false;
    unrest();
    switched_->protocol->started(switched_->channel);
    if (!held.empty() && !switched_->ended) switched_->protocol->received(held);
    // Input that came meanwhile waits in the input buffer.
    revisit();
}

void KoHTTPConnection::serveProtocol() {
    if (!switched_ || switched_->ended || !switched_->protocol->takesInput()) return;
    std::string fresh;
    TakeInput(fresh);
    if (fresh.empty()) return;
    switched_->buffersReleased = false;
    switched_->protocol->received(fresh);
    // Input that asked for nothing back (a WINDOW_UPDATE) leaves it idle;
    // its buffers go once output has drained, not after every read.
    settleProtocol(false);
}

void KoHTTPConnection::settleProtocol(bool releaseBuffers) {
    if (!switched_ || switched_->ended || !Attached() || WantsToSend() || !switched_->protocol->resting()) return;
    if (switched_->protocol->idleWhenResting() && !resting()) rest();
    if (!releaseBuffers || switched_->buffersReleased) return;
    switched_->buffersReleased = true;
    releaseBufferSpace();
    settled();
}

void KoHTTPConnection::sayGoodbyeWhileResting() {
    if (!switched_ || switched_->ended || !Attached() || !seat().socket || !switched_->protocol->resting()) return;
    switched_->protocol->closingIdle();
    // One write, never waited for: the connection closes right after.
    if (OutputWaiting()) SendStep(*seat().socket);
}

void KoHTTPConnection::wakeProtocol() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr || switched_->wakePosted.exchange(true)) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) {
        switched_->wakePosted = false;
        return;
    }
    const bool posted = loop->post([self] {
        self->switched_->wakePosted = false;
        if (!self->Registered() || !self->Attached() || !self->switched_ || self->switched_->ended) return;
        self->switched_->protocol->woken();
        self->revisit();
    });
    if (!posted) switched_->wakePosted = false;
}

void KoHTTPConnection::endProtocol() {
    if (!switched_ || switched_->ended) return;
    switched_->ended = true;
    switched_->protocol->ended();
}
