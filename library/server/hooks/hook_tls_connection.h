// Server stack: KoURLHookTlsConnection, the client-role TLS connection of
// an outgoing HTTPS exchange. Its receive and send steps run through one TLS
// session (net/tls_session.h) over the worker's connected socket.
//
// Connect() performs the handshake before the connection is registered with
// the transceiver, blocking at most the session's client deadline; it runs
// on the worker's own scheduler item, never in the engine's loops. Once
// connected, the loops drive the session: a readable socket runs the receive
// step, queued output the send step; bytes the TLS library has decrypted
// already are drained by InputArrived(nullptr, 0), which the receive loop
// calls on every pass.
//
// Ownership: owns its session; the socket endpoint (held by the worker and
// the transceiver) owns the descriptor and outlives the connection's steps.
// Threads: the owning loop runs the steps; the session's mutex orders the
// OpenSSL calls. Failures: the
// constructor throws KoException "Error getting SSL context"; Connect throws
// the session's KoException texts (a failed certificate check among them);
// steps never throw, a failed or ended session reports stepClosed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "message/transceiver_connection.h"
#include "net/tls_context.h"
#include "net/tls_session.h"

class KoURLHookTlsConnection : public KoTransceiverConnection, public KoTlsPlaintext {
public:
    KoURLHookTlsConnection(KoTransceiver& transceiver, std::string owner, std::string peer,
                           const KoServerCallback_t& record, KoConnectionHandler handler,
                           const KoTlsContext& context, int descriptor, const KoTlsSettings& settings);
    ~KoURLHookTlsConnection() override;

    // The blocking client handshake; host names the server for SNI and the
    // certificate check.
    void Connect(const std::string& host);

    int ReceiveStep(KoSocketIPvx& socket) override;
    int SendStep(KoSocketIPvx& socket) override;
    bool TransportHoldsInput() const override;
    bool PeerFinished() const override;

    bool HandshakeDone() const { return tls->handshakeDone(); }
    std::string FailureReason() const { return tls->failureReason(); }

    void tlsInput(const char* data, std::size_t length) override;
    void tlsPendingOutput(std::string& out, std::size_t limit) override;
    void tlsOutputSent(std::size_t count) override;

private:
    static int stepCode(const KoTlsStepResult& step);

    std::unique_ptr<KoTlsSession> tls;
};
