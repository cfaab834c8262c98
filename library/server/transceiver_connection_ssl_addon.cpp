#include "server/transceiver_connection_ssl_addon.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "message/transceiver.h"

namespace {

// Receive steps per drain of held input, so that one fast sender does not
// keep the receive loop to itself; what is left waits for the next pass.
constexpr int drainStepsPerPass = 4;

int clampToInt(std::size_t count) { return static_cast<int>(std::min<std::size_t>(count, INT_MAX)); }

}  // namespace

KoTransceiverConnection_SSLAddon::KoTransceiverConnection_SSLAddon(
    KoTransceiver& transceiver_, std::string owner_, std::string peer_, const KoServerCallback_t& record_,
    KoConnectionHandler handler_, const KoTlsContext& context, int descriptor, const KoTlsSettings& settings,
    std::size_t fileChunk_)
    : KoHTTPConnection(transceiver_, std::move(owner_), std::move(peer_), record_, std::move(handler_), fileChunk_),
      tls(std::make_unique<KoTlsSession>(context, descriptor, settings)) {}

KoTransceiverConnection_SSLAddon::~KoTransceiverConnection_SSLAddon() {
    // No delivery may run into the session while it goes.
    withdraw();
}

void KoTransceiverConnection_SSLAddon::tlsInput(const char* data, std::size_t length) {
    KoHTTPConnection::InputArrived(data, length);
}

void KoTransceiverConnection_SSLAddon::tlsPendingOutput(std::string& out, std::size_t limit) {
    std::string pending;
    GatherOutput(pending, limit);
    out.append(pending);
}

void KoTransceiverConnection_SSLAddon::tlsOutputSent(std::size_t count) {
    OutputSent(count);
    touch();
}

int KoTransceiverConnection_SSLAddon::afterReceive(const KoTlsStepResult& step) {
    if (step.progress == KoTlsProgress::failed || step.progress == KoTlsProgress::closed) return stepClosed;
    // A handshake reply or a stalled write that the socket did not take, or
    // an answer queued before the handshake ended: the send loop goes on.
    if (WantsToSend()) transceiver.WakeSender();
    return step.bytes > 0 ? clampToInt(step.bytes) : stepWouldBlock;
}

int KoTransceiverConnection_SSLAddon::ReceiveStep(KoSocketIPvx&) {
    return afterReceive(tls->receiveStep(*this));
}

int KoTransceiverConnection_SSLAddon::InputArrived(const char* bytes, std::size_t length) {
    if (bytes != nullptr && length != 0) return KoHTTPConnection::InputArrived(bytes, length);
    int total = 0;
    for (int i = 0; i < drainStepsPerPass && tls->hasBufferedInput(); ++i) {
        const int n = afterReceive(tls->receiveStep(*this));
        if (n == stepClosed) {
            // The loop ignores this call's result: remove it here.
            transceiver.RemoveConnection(name, true);
            return 0;
        }
        total += n;
    }
    return total;
}

int KoTransceiverConnection_SSLAddon::SendStep(KoSocketIPvx&) {
    const KoTlsStepResult step = tls->sendStep(*this);
    if (step.progress == KoTlsProgress::failed || step.progress == KoTlsProgress::closed) return stepClosed;
    if (closing()) {
        // The last answer is out: say goodbye properly where the socket
        // takes it at once; a peer that reads nothing more is not waited for.
        tls->shutdown();
        return stepClosed;
    }
    return step.bytes > 0 ? clampToInt(step.bytes) : stepWouldBlock;
}

bool KoTransceiverConnection_SSLAddon::WantsToSend() const {
    if (tls->wantsWrite()) return true;
    // Before the handshake nothing can be sent; a write that wants the
    // peer's bytes is retried by the receive step.
    if (!tls->handshakeDone() || tls->writeWantsRead()) return false;
    return OutputWaiting() || closing();
}

bool KoTransceiverConnection_SSLAddon::closing() const {
    // Nothing queued means nothing behind a file either: files refill the
    // queue as it empties.
    return DrainedForClose() || (closeRequested.load() && QueuedBytes() == 0 && FilesPending() == 0);
}

void KoTransceiverConnection_SSLAddon::CloseWhenDrained() {
    closeRequested = true;
    transceiver.WakeSender();
}

bool KoTransceiverConnection_SSLAddon::TransportHoldsInput() const { return tls->hasBufferedInput(); }

bool KoTransceiverConnection_SSLAddon::checkTimedOut() {
    if (tls->handshakeExpired()) return true;
    return KoHTTPConnection::checkTimedOut();
}

void KoTransceiverConnection_SSLAddon::Connect(const std::string& host) {
    if (!host.empty()) tls->setServerName(host);
    tls->connect();
    touch();
}
