// Net: one TLS session over one non-blocking socket descriptor, made from a
// KoTlsContext. It is the seam through which a connection reads and writes
// when it speaks TLS: the connection's receive and send steps call
// receiveStep() and sendStep() instead of touching the socket, and hand over
// plaintext through the KoTlsPlaintext interface. No OpenSSL type appears
// here.
//
// Nothing blocks except connect(). The handshake is driven by readiness
// events: the I/O loops call receiveStep() when the descriptor is readable
// and sendStep() when it is writable (or handshakeStep() directly), and each
// step reports whether OpenSSL now waits to read or to write. A handshake not
// finished by its deadline (settings; 10 s for the server role, 60 s for the
// client role) fails; since a silent peer never makes the descriptor ready,
// whoever watches connections also asks handshakeExpired() and drops them.
//
// System calls are spared where the answer is known: once a read found the
// socket drained, OpenSSL's further reads are told would-block without
// asking, until the next receiveStep() (or handshakeStep()) says the socket
// is readable again; the readiness wait must therefore be level-triggered.
// A server's handshake messages are sent together at the end of each
// handshake call, and those written as it completes (the session tickets)
// go out in front of the first answer, in the same send; wantsWrite() holds
// while any are waiting.
//
// Reads and writes move at most kTlsChunkSize plaintext bytes per OpenSSL call
// and make at most callsPerStep (kTlsCallsPerStep) calls per step. OpenSSL's want-read and
// want-write conditions carry over between steps: a write that wanted to read
// is retried by the next receive step, a read that wanted to write by the
// next send step, and a write that wanted to write by the next send step with
// the same bytes.
//
// Ownership: the session does not own the descriptor; the socket endpoint
// does, and must keep it open until the session is destroyed. Destroying a
// session frees its OpenSSL objects and writes nothing; an orderly close
// calls shutdown() first (close-notify) while the socket is still open.
//
// Threads: every operation takes the session's mutex for its whole length, so
// the receive and send steps may run on two threads. KoTlsPlaintext callbacks
// run under that mutex and must not call back into the session.
//
// A connection built on it stays thin:
//   receive step: return session.receiveStep(*this).receiveCode();
//   send step:    session.sendStep(*this);
//   the loops:    watch writable while session.wantsWrite() or output is
//                 queued; step again at once while hasBufferedInput() or a
//                 step reported more; drop the connection when a step
//                 reports failed or closed, or once handshakeExpired();
//   orderly close (after the last answer): session.shutdown().
//
// Failures: the constructor throws KoException "Error getting SSL context"
// when no OpenSSL session can be made. Steps never throw; they report
// failed, and failureReason() tells why. connect() throws (see there).
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/small_lock.h"
#include "net/socket_bio_state.h"
#include "net/tls_context.h"

struct ssl_st;

inline constexpr std::chrono::milliseconds kTlsServerHandshakeTimeout{10000};
inline constexpr std::chrono::milliseconds kTlsClientHandshakeTimeout{60000};
// connect(): longest wait for the socket to take more handshake bytes.
inline constexpr std::chrono::milliseconds kTlsClientHandshakeWriteWait{48000};
inline constexpr std::size_t kTlsChunkSize = 16384;
inline constexpr int kTlsCallsPerStep = 100;
// At most this much of full records is held to go out in one send.
inline constexpr std::size_t kTlsGatheredSend = 4 * kTlsChunkSize;

struct KoTlsSettings {
    std::chrono::milliseconds serverHandshakeTimeout = kTlsServerHandshakeTimeout;
    std::chrono::milliseconds clientHandshakeTimeout = kTlsClientHandshakeTimeout;
    std::chrono::milliseconds clientHandshakeWriteWait = kTlsClientHandshakeWriteWait;
    int callsPerStep = kTlsCallsPerStep;  // OpenSSL read or write calls per step
    // Server role: client certificates (KoTlsContext::verifyClients).
    KoClientCertificateCheck clientCertificates = KoClientCertificateCheck::off;
    std::string clientCaFile;
    int clientVerifyDepth = 4;
    // Server role: resumption (KoTlsContext::enableResumption).
    std::size_t sessionCacheSize = 8192;
    std::chrono::seconds ticketKeyLifetime{12 * 3600};
};

// The plaintext side of a session: where decrypted bytes go and where bytes
// to encrypt come from (a connection's InputArrived, PendingOutput and
// OutputSent).
class KoTlsPlaintext {
public:
    virtual ~KoTlsPlaintext() = default;
    // Decrypted bytes, in order, at most kTlsChunkSize at a time.
    virtual void tlsInput(const char* data, std::size_t length) = 0;
    // Appends up to limit bytes still to send to out, without consuming them.
    virtual void tlsPendingOutput(std::string& out, std::size_t limit) = 0;
    // The first count bytes that tlsPendingOutput offered are sent.
    virtual void tlsOutputSent(std::size_t count) = 0;
    // Whether a receive step may read on after the first record (false
    // holds the rest back: back-pressure).
    virtual bool tlsWantsInput() const { return true; }
};

// What stopped a step.
enum class KoTlsProgress {
    done,       // the step's work is finished (handshake complete, input
                // drained for now, no more output)
    wantRead,   // call again when the descriptor is readable
    wantWrite,  // call again when the descriptor is writable
    more,       // stopped at the call bound; call again without waiting
    closed,     // the peer ended the stream
    failed,     // the session is unusable; see failureReason()
};

struct KoTlsStepResult {
    KoTlsProgress progress = KoTlsProgress::done;
    std::size_t bytes = 0;  // plaintext delivered (receive) or sent (send)
    int calls = 0;          // OpenSSL calls made

    // As a connection's receive step reports it: -1 failed, 0 closed
    // (remove the connection), otherwise the bytes read or at least 1.
    int receiveCode() const;
};

// Whether a session must first make its descriptor non-blocking (an
// accepted socket already is: one system call less per connection).
enum class KoDescriptorMode { blocking, nonBlocking };

class KoTlsSession {
public:
    // Takes the role of the context; sets the descriptor non-blocking
    // unless mode says it is.
    KoTlsSession(const KoTlsContext& context, int descriptor, const KoTlsSettings& settings = {},
                 KoDescriptorMode mode = KoDescriptorMode::blocking);
    KoTlsSession(const KoTlsSession&) = delete;
    KoTlsSession& operator=(const KoTlsSession&) = delete;
    ~KoTlsSession();

    // Client role, before the handshake: the host name sent to the server
    // (an address literal is not sent), and the name or address that its
    // certificate must carry when the context verifies peers.
    void setServerName(const std::string& host);

    // One handshake attempt: done, wantRead, wantWrite or failed (including
    // the deadline having passed). Done again once complete.
    KoTlsStepResult handshakeStep();

    // Blocking client handshake within the client deadline, waiting for
    // readiness in between. Throws KoException "Error getting SSL read" when
    // the readiness wait fails, "Error getting SSL write" when the socket
    // takes no bytes within the write wait, "Error getting SSL_connect" when
    // the deadline passes, and "SSL handshake failed: " with OpenSSL's
    // reason for any other failure.
    void connect();

    // The socket is readable: finishes the handshake, retries a write that
    // wanted to read, then reads and hands the plaintext to app.
    KoTlsStepResult receiveStep(KoTlsPlaintext& app);

    // The socket is writable: finishes the handshake, retries a read that
    // wanted to write, then encrypts what app offers.
    KoTlsStepResult sendStep(KoTlsPlaintext& app);

    // Sends close-notify (once); wantWrite when it could not all go out yet
    // (call again when writable). Does not wait for the peer's.
    KoTlsStepResult shutdown();

    // Lets go of the record buffers while nothing is buffered in them (an
    // idle connection); the next read or write makes them again. False when
    // they had to stay.
    bool releaseBuffers();

    bool serverRole() const { return serverRole_; }
    // The descriptor once the handshake is complete, -1 before.
    int descriptor() const;
    bool handshakeDone() const;
    // The protocol ALPN chose ("h2", "http/1.1"), empty when none; set
    // once the handshake is done.
    std::string applicationProtocol() const;
    bool failed() const;
    // The peer ended the stream; cleanClose() tells whether with close-notify.
    bool closed() const;
    bool cleanClose() const;
    std::string failureReason() const;
    // Still handshaking and past the deadline.
    bool handshakeExpired() const;
    std::chrono::steady_clock::time_point handshakeDeadline() const { return deadline_; }

    // Readiness the session waits for (the loops add writable when the
    // connection has output queued).
    bool wantsRead() const;
    bool wantsWrite() const;
    // Bytes held inside OpenSSL that no readiness event announces: decrypted
    // ones, or records read ahead that a read has not yet looked at.
    bool hasBufferedInput() const;

    // Server role, once the handshake is done: the client's certificate
    // and its verification (empty verify when none was asked for).
    KoTlsPeerCertificate peerCertificate() const;

    bool writeWantsRead() const;
    bool writeWantsWrite() const;
    bool readWantsRead() const;
    bool readWantsWrite() const;

private:
    enum class Phase { handshaking, open, closed, failed };

    struct Free {
        void operator()(ssl_st* tls) const;
    };

    KoTlsStepResult handshakeLocked();
    KoTlsStepResult readLocked(KoTlsPlaintext& app);
    KoTlsStepResult writeLocked(KoTlsPlaintext& app);
    // Classifies a failed OpenSSL call; sets phase and reason for endings.
    KoTlsProgress classify(int result, const char* operation);
    // Sends the bytes the BIO holds: done when none are left, wantWrite,
    // or failed.
    KoTlsProgress flushHeldLocked();
    void failLocked(std::string reason);
    bool handshakeTimedOutFlag() const;
    int callsPerStep() const;
    // Sends the records a write step held; the result's progress says
    // whether some are still held (want-write) or sending failed.
    KoTlsStepResult sendHeldLocked(KoTlsStepResult result);

    mutable KoSmallLock mutex_;
    tls_detail::SocketBioState bio_;
    std::unique_ptr<ssl_st, Free> tls_;
    // Of the settings only what the steps use: every connection holds one.
    int callsPerStep_;
    std::chrono::milliseconds clientHandshakeWriteWait_;
    int fd_ = -1;
    int tlsDescriptor_ = -1;
    bool serverRole_ = false;
    Phase phase_ = Phase::handshaking;
    bool handshakeWantsWrite_ = false;
    bool cleanClose_ = false;
    bool timedOut_ = false;
    bool fatal_ = false;  // no shutdown may be sent after a fatal error
    bool shutdownSent_ = false;
    bool shutdownPending_ = false;
    bool writeWantsRead_ = false;
    bool writeWantsWrite_ = false;
    bool readWantsRead_ = false;
    bool readWantsWrite_ = false;
    std::string pendingOutput_;
    std::string reason_;
    std::chrono::steady_clock::time_point deadline_;
};
