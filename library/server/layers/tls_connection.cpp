#include "server/layers/tls_connection.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "message/transceiver.h"
#include "server/http/client_certificate_values.h"

namespace {

// What a session's record buffers take while it is busy.
constexpr std::size_t tlsBufferBytes = 2 * (16 * 1024 + 512);

}  // namespace

KoTransceiverConnection_SSLAddon::KoTransceiverConnection_SSLAddon(
    KoTransceiver& transceiver_, std::string owner_, std::string peer_, const KoServerCallback_t& record_,
    KoConnectionHandler handler_, const KoTlsContext& context, int descriptor, const KoTlsSettings& settings,
    std::size_t fileChunk_, Server* server, const Pacing* pacing)
    : KoHTTPConnection(transceiver_, std::move(owner_), std::move(peer_), record_, std::move(handler_), fileChunk_,
                       server, pacing),
      session(context, descriptor, settings, KoDescriptorMode::nonBlocking) {
    // Files go through the session, read in chunks.
    setSendsFiles(false);
}

KoTransceiverConnection_SSLAddon::~KoTransceiverConnection_SSLAddon() {
    // No delivery may run into the session while it goes.
    withdraw();
}

int KoTransceiverConnection_SSLAddon::stepCode(const KoTlsStepResult& step) {
    if (step.bytes > 0) return static_cast<int>(std::min<std::size_t>(step.bytes, INT_MAX));
    if (step.progress == KoTlsProgress::failed || step.progress == KoTlsProgress::closed) return stepClosed;
    return stepWouldBlock;
}

void KoTransceiverConnection_SSLAddon::tlsInput(const char* data, std::size_t length) {
    KoHTTPConnection::InputArrived(data, length);
}

void KoTransceiverConnection_SSLAddon::tlsPendingOutput(std::string& out, std::size_t limit) {
    // Straight into the session's buffer when it holds nothing yet.
    if (out.empty()) {
        GatherOutput(out, limit);
        return;
    }
    std::string pending;
    GatherOutput(pending, limit);
    out.append(pending);
}

void KoTransceiverConnection_SSLAddon::tlsOutputSent(std::size_t count) {
    OutputSent(count);
    touch();
}

// Called under the session's lock: it asks nothing of the session.
bool KoTransceiverConnection_SSLAddon::tlsWantsInput() const { return TakesInput(); }

int KoTransceiverConnection_SSLAddon::ReceiveStep(KoSocketIPvx&) { return stepCode(tls->receiveStep(*this)); }

int KoTransceiverConnection_SSLAddon::SendStep(KoSocketIPvx&) { return stepCode(tls->sendStep(*this)); }

bool KoTransceiverConnection_SSLAddon::WantsToSend() const {
    if (tls->wantsWrite()) return true;
    // Before the handshake nothing can be sent; a write that wants the
    // peer's bytes is retried by the receive step.
    if (!tls->handshakeDone() || tls->writeWantsRead()) return false;
    return KoHTTPConnection::WantsToSend();
}

bool KoTransceiverConnection_SSLAddon::TransportHoldsInput() const { return tls->hasBufferedInput(); }

bool KoTransceiverConnection_SSLAddon::PeerFinished() const { return tls->closed(); }

void KoTransceiverConnection_SSLAddon::describeTransport(KoStringMap& description) {
    if (!tls->serverRole()) return;
    if (!peerLooked_ && tls->handshakeDone()) {
        peerLooked_ = true;
        KoTlsPeerCertificate found = tls->peerCertificate();
        // Without a verdict the server asked for none: it describes nothing.
        if (!found.verify.empty()) peer = std::make_unique<const KoTlsPeerCertificate>(std::move(found));
    }
    if (peer) KoDescribeClientCertificate(*peer, description);
}

void KoTransceiverConnection_SSLAddon::inputReady() {
    // The first input after the handshake: before any of it is read as a
    // request, the connection takes up the protocol ALPN chose.
    if (!protocolChosen_ && protocols_ != nullptr && Served() && tls->handshakeDone()) {
        protocolChosen_ = true;
        const std::string chosen = tls->applicationProtocol();
        if (!chosen.empty() && chosen != "http/1.1") {
            if (auto protocol = protocols_->protocolFor(chosen, *this)) SwitchProtocol(std::move(protocol));
        }
    }
    KoHTTPConnection::inputReady();
}

void KoTransceiverConnection_SSLAddon::closing(bool orderly) {
    // The last answer is out: say goodbye properly where the socket takes it
    // at once; a peer that reads nothing more is not waited for.
    // A body cut short gets no goodbye: it must not look whole.
    if (orderly && !BodyCut()) tls->shutdown();
    KoHTTPConnection::closing(orderly);
}

void KoTransceiverConnection_SSLAddon::settled() {
    if (tls->releaseBuffers() && Loop() != nullptr) Loop()->released(tlsBufferBytes);
}

KoTransceiverConnection_SSLAddon::Clock::time_point KoTransceiverConnection_SSLAddon::transportDeadline() const {
    return tls->handshakeDone() ? Clock::time_point::max() : tls->handshakeDeadline();
}

bool KoTransceiverConnection_SSLAddon::transportReady() const { return tls->handshakeDone(); }

void KoTransceiverConnection_SSLAddon::Connect(const std::string& host) {
    if (!host.empty()) tls->setServerName(host);
    tls->connect();
    touch();
}
