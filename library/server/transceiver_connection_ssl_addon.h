// Server stack: KoTransceiverConnection_SSLAddon, a connection whose receive
// and send steps run through one TLS session (net/tls_session.h) instead of
// the raw socket. It is an HTTP connection (files in bounded chunks, close
// once drained), so the HTTP, HTTPS and VELKO layers serve it unchanged.
//
// Server role: nothing blocks. The handshake is driven by the transceiver's
// loops: a readable socket runs the receive step, which advances the
// handshake; while the session waits to write, WantsToSend() makes the send
// loop watch the socket for writability. A handshake not finished by the
// session's deadline makes checkTimedOut() answer true, so the
// transceiver's housekeeping drops the connection even when its socket never
// becomes ready.
//
// Client role: Connect() performs the handshake at once, blocking up to the
// client deadline (outgoing exchanges of a hook service).
//
// Reads and writes move at most 16,384 bytes per OpenSSL call and a step
// makes at most the settings' number of calls; want-read and want-write
// carry over between steps as the session describes.
//
// Ownership: owns its TLS session; the socket endpoint (held by the
// transceiver) owns the descriptor and must outlive every step. Threads: the
// receive loop runs ReceiveStep and InputArrived, the send loop SendStep
// and WantsToSend, housekeeping checkTimedOut; the session's mutex orders
// the OpenSSL calls. Failures: the constructor throws KoException "Error
// getting SSL context" (no session can be made); steps never throw, a
// failed or ended session reports stepClosed.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "net/tls_context.h"
#include "net/tls_session.h"
#include "server/http_connection.h"

class KoTransceiverConnection_SSLAddon : public KoHTTPConnection, public KoTlsPlaintext {
public:
    KoTransceiverConnection_SSLAddon(KoTransceiver& transceiver, std::string owner, std::string peer,
                                     const KoServerCallback_t& record, KoConnectionHandler handler,
                                     const KoTlsContext& context, int descriptor,
                                     const KoTlsSettings& settings = {}, std::size_t fileChunk = 64 * 1024);
    ~KoTransceiverConnection_SSLAddon() override;

    int ReceiveStep(KoSocketIPvx& socket) override;
    int SendStep(KoSocketIPvx& socket) override;
    // With bytes: the base's. Without: drains decrypted bytes the session
    // holds (the receive loop calls it so on every pass).
    int InputArrived(const char* bytes, std::size_t length) override;
    bool WantsToSend() const override;
    bool TransportHoldsInput() const override;
    // True once the handshake deadline has passed, else the idle time-out.
    bool checkTimedOut() override;
    // The send loop ends the connection once everything queued is written,
    // with a close-notify first; never at once from the caller's thread,
    // which must not write on a socket the loops may be letting go.
    void CloseWhenDrained() override;

    // Client role: the blocking handshake (see KoTlsSession::connect, whose
    // exceptions it passes on). host names the server for SNI and checks.
    void Connect(const std::string& host = {});

    bool HandshakeDone() const { return tls->handshakeDone(); }
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

private:
    // Maps a receive step's outcome for the loop and wakes the sender when
    // the session now waits to write.
    int afterReceive(const KoTlsStepResult& step);

    bool closing() const;

    std::unique_ptr<KoTlsSession> tls;
    std::atomic<bool> closeRequested{false};
};
