// Server stack: KoTransceiverConnection_SSLAddon, a connection whose receive
// and send steps run through one TLS session (net/tls_session.h) instead of
// the raw socket. It is an HTTP connection (files in bounded chunks, close
// once drained, served on its loop), so the HTTP, HTTPS and VELKO layers
// serve it unchanged.
//
// Server role: nothing blocks. The handshake is driven by the connection's
// loop: a readable socket runs the receive step, which advances the
// handshake; while the session waits to write, WantsToSend() makes the loop
// watch the socket for writability. A handshake not finished by the
// session's deadline ends the connection (its loop's timer), even when its
// socket never becomes ready. Between requests the session lets go of its
// record buffers, so an idle connection holds little memory.
//
// Client role: Connect() performs the handshake at once, blocking up to the
// client deadline (outgoing exchanges of a hook service).
//
// Reads and writes move at most 16,384 bytes per OpenSSL call and a step
// makes at most the settings' number of calls, fewer when the connection
// wants no more input; want-read and want-write carry over between steps as
// the session describes. An orderly end says goodbye (close-notify) where
// the socket takes it at once.
//
// Ownership: owns its TLS session; the socket endpoint (held by the
// transceiver) owns the descriptor, non-blocking as every accepted or
// connected endpoint is, and must outlive every step. Threads: the
// owning loop runs the steps and hooks; the session's mutex orders the
// OpenSSL calls. Failures: the constructor throws KoException "Error
// getting SSL context" (no session can be made); steps never throw, a
// failed or ended session reports stepClosed.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "net/tls_context.h"
#include "net/tls_session.h"
#include "server/connection/http_connection.h"

// What a served TLS connection speaks once ALPN chose a protocol other than
// HTTP/1.1 ("h2"): made by the layer that serves it, on the connection's
// loop; null keeps HTTP/1.1.
class KoApplicationProtocols {
public:
    virtual std::unique_ptr<KoConnectionProtocol> protocolFor(const std::string& name,
                                                              KoHTTPConnection& connection) = 0;

protected:
    ~KoApplicationProtocols() = default;
};

class KoTransceiverConnection_SSLAddon : public KoHTTPConnection, public KoTlsPlaintext {
public:
    KoTransceiverConnection_SSLAddon(KoTransceiver& transceiver, std::string owner, std::string peer,
                                     const KoServerCallback_t& record, KoConnectionHandler handler,
                                     const KoTlsContext& context, int descriptor,
                                     const KoTlsSettings& settings = {}, std::size_t fileChunk = 64 * 1024,
                                     Server* server = nullptr, const Pacing* pacing = nullptr);
    ~KoTransceiverConnection_SSLAddon() override;

    int ReceiveStep(KoSocketIPvx& socket) override;
    int SendStep(KoSocketIPvx& socket) override;
    bool WantsToSend() const override;
    bool TransportHoldsInput() const override;
    bool PeerFinished() const override;
    // The client's certificate, read once per connection.
    void describeTransport(KoStringMap& description) override;

    // Client role: the blocking handshake (see KoTlsSession::connect, whose
    // exceptions it passes on). host names the server for SNI and checks.
    void Connect(const std::string& host = {});

    bool HandshakeDone() const { return tls->handshakeDone(); }
    // Who makes the protocol ALPN chose (it must outlive the connection);
    // set before the connection is served.
    void SetApplicationProtocols(KoApplicationProtocols* protocols) { protocols_ = protocols; }
    // The descriptor once the handshake is complete, -1 before.
    int TlsDescriptor() const { return tls->descriptor(); }
    bool ServerRole() const { return tls->serverRole(); }
    bool writeWantsRead() const { return tls->writeWantsRead(); }
    bool writeWantsWrite() const { return tls->writeWantsWrite(); }
    bool readWantsRead() const { return tls->readWantsRead(); }
    bool readWantsWrite() const { return tls->readWantsWrite(); }
    std::string FailureReason() const { return tls->failureReason(); }

    // KoTlsPlaintext: decrypted input, queued output and its progress.
    void tlsInput(const char* data, std::size_t length) override;
    void tlsPendingOutput(std::string& out, std::size_t limit) override;
    void tlsOutputSent(std::size_t count) override;
    bool tlsWantsInput() const override;

protected:
    void inputReady() override;
    void closing(bool orderly) override;
    void settled() override;
    Clock::time_point transportDeadline() const override;
    bool transportReady() const override;

private:
    static int stepCode(const KoTlsStepResult& step);

    // Held in place: one allocation less per connection.
    KoTlsSession session;
    // Kept only when the server asked for one: most connections have none.
    std::unique_ptr<const KoTlsPeerCertificate> peer;
    KoApplicationProtocols* protocols_ = nullptr;
    bool protocolChosen_ = false;  // ALPN's choice was looked at
    bool peerLooked_ = false;      // the client certificate was looked at
    KoTlsSession* const tls = &session;
};
