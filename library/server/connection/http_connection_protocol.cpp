// KoHTTPConnection once it speaks another protocol: the channel it gives the
// protocol, and how input, output, deadlines and the end reach it.
#include <mutex>
#include <utility>

#include "message/event_loop.h"
#include "message/transceiver.h"
#include "server/connection/http_connection.h"

void KoHTTPConnection::Channel::send(std::string bytes) {
    connection_.buffersReleased_ = false;
    connection_.QueueText(std::move(bytes));
}
void KoHTTPConnection::Channel::sendShared(std::shared_ptr<const std::string> bytes) {
    if (!bytes) return;
    connection_.buffersReleased_ = false;
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
    if (!protocol || protocol_) return;
    protocol_ = std::move(protocol);
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
    protocol_->started(channel_);
    if (!held.empty() && !protocolEnded_) protocol_->received(held);
    // Input that came meanwhile waits in the input buffer.
    revisit();
}

void KoHTTPConnection::serveProtocol() {
    if (!protocol_ || protocolEnded_ || !protocol_->takesInput()) return;
    std::string fresh;
    TakeInput(fresh);
    if (fresh.empty()) return;
    buffersReleased_ = false;
    protocol_->received(fresh);
    // Input that asked for nothing back (a WINDOW_UPDATE) leaves it idle;
    // its buffers go once output has drained, not after every read.
    settleProtocol(false);
}

void KoHTTPConnection::settleProtocol(bool releaseBuffers) {
    if (!protocol_ || protocolEnded_ || !Attached() || WantsToSend() || !protocol_->resting()) return;
    if (protocol_->idleWhenResting() && !resting()) rest();
    if (!releaseBuffers || buffersReleased_) return;
    buffersReleased_ = true;
    releaseBufferSpace();
    settled();
}

void KoHTTPConnection::sayGoodbyeWhileResting() {
    if (!protocol_ || protocolEnded_ || !Attached() || !seat().socket || !protocol_->resting()) return;
    protocol_->closingIdle();
    // One write, never waited for: the connection closes right after.
    if (OutputWaiting()) SendStep(*seat().socket);
}

void KoHTTPConnection::wakeProtocol() {
    KoEventLoop* loop = Loop();
    if (loop == nullptr || protocolWakePosted_.exchange(true)) return;
    auto self = std::static_pointer_cast<KoHTTPConnection>(weak_from_this().lock());
    if (!self) {
        protocolWakePosted_ = false;
        return;
    }
    const bool posted = loop->post([self] {
        self->protocolWakePosted_ = false;
        if (!self->Registered() || !self->Attached() || !self->protocol_ || self->protocolEnded_) return;
        self->protocol_->woken();
        self->revisit();
    });
    if (!posted) protocolWakePosted_ = false;
}

void KoHTTPConnection::endProtocol() {
    if (!protocol_ || protocolEnded_) return;
    protocolEnded_ = true;
    protocol_->ended();
}
