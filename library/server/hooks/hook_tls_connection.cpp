#include "server/hooks/hook_tls_connection.h"

#include <utility>

KoURLHookTlsConnection::KoURLHookTlsConnection(KoTransceiver& transceiver_, std::string owner_,
                                               std::string peer_, const KoServerCallback_t& record_,
                                               KoConnectionHandler handler_, const KoTlsContext& context,
                                               int descriptor, const KoTlsSettings& settings)
    : KoTransceiverConnection(transceiver_, std::move(owner_), std::move(peer_), record_, std::move(handler_)),
      tls(std::make_unique<KoTlsSession>(context, descriptor, settings)) {}

KoURLHookTlsConnection::~KoURLHookTlsConnection() { withdraw(); }

void KoURLHookTlsConnection::Connect(const std::string& host) {
    tls->setServerName(host);
    tls->connect();
}

int KoURLHookTlsConnection::stepCode(const KoTlsStepResult& step) {
    if (step.progress == KoTlsProgress::failed || step.progress == KoTlsProgress::closed) return stepClosed;
    return step.bytes > 0 ? static_cast<int>(step.bytes) : stepWouldBlock;
}

int KoURLHookTlsConnection::ReceiveStep(KoSocketIPvx&) {
    const KoTlsStepResult step = tls->receiveStep(*this);
    if (step.bytes > 0 && step.progress == KoTlsProgress::closed) {
        // The last bytes arrived with the end of the stream: they are
        // delivered already; the connection ends now.
        return stepClosed;
    }
    return stepCode(step);
}

int KoURLHookTlsConnection::SendStep(KoSocketIPvx&) {
    const KoTlsStepResult step = tls->sendStep(*this);
    if (step.bytes > 0) touch();
    return stepCode(step);
}

bool KoURLHookTlsConnection::TransportHoldsInput() const { return tls->handshakeDone() && tls->hasBufferedInput(); }

bool KoURLHookTlsConnection::PeerFinished() const { return tls->closed(); }

void KoURLHookTlsConnection::tlsInput(const char* data, std::size_t length) {
    KoTransceiverConnection::InputArrived(data, length);
}

void KoURLHookTlsConnection::tlsPendingOutput(std::string& out, std::size_t limit) {
    std::string pending;
    GatherOutput(pending, limit);
    out += pending;
}

void KoURLHookTlsConnection::tlsOutputSent(std::size_t count) { OutputSent(count); }
