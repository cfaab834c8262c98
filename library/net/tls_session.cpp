#include "net/tls_session.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "foundation/exception.h"
#include "net/openssl_errors.h"
#include "net/socket_bio.h"
#include "platform/error.h"
#include "platform/poller.h"
#include "platform/socket.h"

namespace {

constexpr const char* kSource = "src";

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    return static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

}  // namespace

int KoTlsSession::callsPerStep() const { return callsPerStep_ > 0 ? callsPerStep_ : 1; }

void KoTlsSession::Free::operator()(ssl_st* tls) const { SSL_free(tls); }

int KoTlsStepResult::receiveCode() const {
    switch (progress) {
    case KoTlsProgress::failed:
        return -1;
    case KoTlsProgress::closed:
        return 0;
    default:
        return bytes > 0 ? static_cast<int>(std::min<std::size_t>(bytes, INT_MAX)) : 1;
    }
}

KoTlsSession::KoTlsSession(const KoTlsContext& context, int descriptor, const KoTlsSettings& settings,
                           KoDescriptorMode mode)
    : callsPerStep_(settings.callsPerStep),
      clientHandshakeWriteWait_(settings.clientHandshakeWriteWait),
      fd_(descriptor),
      serverRole_(context.serverRole()) {
    deadline_ = std::chrono::steady_clock::now() +
                (serverRole_ ? settings.serverHandshakeTimeout : settings.clientHandshakeTimeout);
    bio_.fd = descriptor;
    tls_detail::clearErrors();
    if (context.context_) tls_.reset(SSL_new(context.context_.get()));
    BIO* bio = tls_ ? tls_detail::newSocketBio(&bio_) : nullptr;
    if (!tls_ || bio == nullptr) {
        tls_detail::takeErrors("");
        throw KoException("Error getting SSL context", 450, kSource);
    }
    SSL_set_bio(tls_.get(), bio, bio);  // the session now owns the BIO
    // Partial writes let a full socket end a step instead of stalling it; a
    // retried chunk may sit at another address after a queue change. The
    // buffers stay while the connection is busy (releaseBuffers when idle),
    // and reads take what the socket has, not one record header at a time.
    SSL_set_mode(tls_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_read_ahead(tls_.get(), 1);
    if (serverRole_) {
        SSL_set_accept_state(tls_.get());
    } else {
        SSL_set_connect_state(tls_.get());
    }
    // A blocking descriptor would let a silent peer stall the caller.
    if (mode == KoDescriptorMode::blocking) platform::setNonBlocking(descriptor, true);
}

KoTlsPeerCertificate KoTlsSession::peerCertificate() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    if (!serverRole_ || tlsDescriptor_ < 0 || !tls_) return {};
    return tls_detail::peerCertificateOf(tls_.get());
}

KoTlsSession::~KoTlsSession() {
    std::lock_guard<KoSmallLock> lock(mutex_);
    tls_.reset();
}

void KoTlsSession::setServerName(const std::string& host) {
    std::lock_guard<KoSmallLock> lock(mutex_);
    if (serverRole_ || phase_ != Phase::handshaking || host.empty()) return;
    // An address literal is checked as an address and sent as no name.
    X509_VERIFY_PARAM* check = SSL_get0_param(tls_.get());
    if (X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str()) != 1) {
        tls_detail::clearErrors();
        SSL_set_tlsext_host_name(tls_.get(), host.c_str());
        SSL_set1_host(tls_.get(), host.c_str());
    }
}

void KoTlsSession::failLocked(std::string reason) {
    phase_ = Phase::failed;
    fatal_ = true;
    reason_ = std::move(reason);
    handshakeWantsWrite_ = false;
    writeWantsRead_ = writeWantsWrite_ = readWantsRead_ = readWantsWrite_ = false;
    shutdownPending_ = false;
}

KoTlsProgress KoTlsSession::classify(int result, const char* operation) {
    const int error = SSL_get_error(tls_.get(), result);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return KoTlsProgress::wantRead;
    case SSL_ERROR_WANT_WRITE:
        return KoTlsProgress::wantWrite;
    case SSL_ERROR_ZERO_RETURN:
        cleanClose_ = true;
        phase_ = Phase::closed;
        return KoTlsProgress::closed;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0 && bio_.lastError == 0) {
            // End of stream without close-notify.
            fatal_ = true;
            phase_ = Phase::closed;
            return KoTlsProgress::closed;
        }
        failLocked(std::string(operation) + ": " +
                   (bio_.lastError != 0 ? platform::errorText(bio_.lastError)
                                               : tls_detail::takeErrors("system error")));
        return KoTlsProgress::failed;
    case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            tls_detail::clearErrors();
            fatal_ = true;
            phase_ = Phase::closed;
            return KoTlsProgress::closed;
        }
        failLocked(std::string(operation) + ": " + tls_detail::takeErrors("protocol error"));
        return KoTlsProgress::failed;
    default:
        failLocked(std::string(operation) + ": SSL error " + std::to_string(error));
        return KoTlsProgress::failed;
    }
}

KoTlsStepResult KoTlsSession::handshakeLocked() {
    KoTlsStepResult result;
    switch (phase_) {
    case Phase::handshaking:
        break;
    case Phase::open:
        return result;
    case Phase::closed:
        result.progress = KoTlsProgress::closed;
        return result;
    case Phase::failed:
        result.progress = KoTlsProgress::failed;
        return result;
    }
    if (std::chrono::steady_clock::now() >= deadline_) {
        timedOut_ = true;
        failLocked("handshake timed out");
        result.progress = KoTlsProgress::failed;
        return result;
    }
    // A flight that did not all go out goes first.
    if (const auto flushed = flushHeldLocked(); flushed != KoTlsProgress::done) {
        result.progress = flushed;
        handshakeWantsWrite_ = flushed == KoTlsProgress::wantWrite;
        return result;
    }
    tls_detail::clearErrors();
    // Server role: what the handshake writes is held and sent at once when
    // it waits for the peer; once it is complete, the tickets it wrote go
    // out with the first answer (or at the end of the step).
    bio_.corked = serverRole_;
    const int outcome = serverRole_ ? SSL_accept(tls_.get()) : SSL_connect(tls_.get());
    bio_.corked = false;
    result.calls = 1;
    if (outcome == 1) {
        phase_ = Phase::open;
        tlsDescriptor_ = fd_;
        handshakeWantsWrite_ = false;
        return result;
    }
    // A flight, or the alert of a failure, for the peer to read now.
    const KoTlsProgress flushed = flushHeldLocked();
    result.progress = classify(outcome, serverRole_ ? "SSL_accept" : "SSL_connect");
    if (result.progress == KoTlsProgress::closed) {
        failLocked("peer closed the connection during the handshake");
        result.progress = KoTlsProgress::failed;
    }
    if (result.progress != KoTlsProgress::failed && flushed != KoTlsProgress::done) {
        if (flushed == KoTlsProgress::failed) {
            failLocked("SSL_accept: " + platform::errorText(bio_.lastError));
        }
        result.progress = flushed;
    }
    handshakeWantsWrite_ = result.progress == KoTlsProgress::wantWrite;
    return result;
}

KoTlsProgress KoTlsSession::flushHeldLocked() {
    switch (tls_detail::flushHeld(bio_)) {
    case tls_detail::HeldFlush::empty:
        return KoTlsProgress::done;
    case tls_detail::HeldFlush::wouldBlock:
        return KoTlsProgress::wantWrite;
    case tls_detail::HeldFlush::failed:
        break;
    }
    return KoTlsProgress::failed;
}

KoTlsStepResult KoTlsSession::readLocked(KoTlsPlaintext& app) {
    KoTlsStepResult result;
    readWantsRead_ = readWantsWrite_ = false;
    char buffer[kTlsChunkSize];
    while (result.calls < callsPerStep()) {
        // The rest stays read ahead until the reader wants it.
        if (result.calls > 0 && !app.tlsWantsInput()) return result;
        tls_detail::clearErrors();
        const int n = SSL_read(tls_.get(), buffer, static_cast<int>(kTlsChunkSize));
        ++result.calls;
        if (n > 0) {
            result.bytes += static_cast<std::size_t>(n);
            app.tlsInput(buffer, static_cast<std::size_t>(n));
            // A short read normally drained the socket's records; bytes
            // OpenSSL holds would get no readiness event, so read on.
            if (static_cast<std::size_t>(n) < kTlsChunkSize && SSL_has_pending(tls_.get()) == 0) {
                return result;
            }
            continue;
        }
        result.progress = classify(n, "SSL_read");
        if (result.progress == KoTlsProgress::wantRead) readWantsRead_ = true;
        if (result.progress == KoTlsProgress::wantWrite) readWantsWrite_ = true;
        return result;
    }
    result.progress = KoTlsProgress::more;
    return result;
}

KoTlsStepResult KoTlsSession::writeLocked(KoTlsPlaintext& app) {
    KoTlsStepResult result;
    while (result.calls < callsPerStep()) {
        if (!writeWantsRead_ && !writeWantsWrite_) {
            pendingOutput_.clear();
            app.tlsPendingOutput(pendingOutput_, kTlsChunkSize);
            if (pendingOutput_.size() > kTlsChunkSize) pendingOutput_.resize(kTlsChunkSize);
        } else {
            // OpenSSL wants the very bytes of the interrupted write again.
            writeWantsRead_ = writeWantsWrite_ = false;
        }
        if (pendingOutput_.empty()) return sendHeldLocked(result);
        const int length = static_cast<int>(pendingOutput_.size());
        tls_detail::clearErrors();
        // Full records are held and go out with the one after them, up to
        // kTlsGatheredSend bytes a send: a page's answers take a few sends,
        // not one a record. A lone short record goes out at once, as before.
        bio_.corked = pendingOutput_.size() == kTlsChunkSize && bio_.held.size() < kTlsGatheredSend;
        const int n = SSL_write(tls_.get(), pendingOutput_.data(), length);
        bio_.corked = false;
        ++result.calls;
        if (n > 0) {
            pendingOutput_.clear();
            app.tlsOutputSent(static_cast<std::size_t>(n));
            result.bytes += static_cast<std::size_t>(n);
            if (n < length) {
                result.progress = KoTlsProgress::wantWrite;
                return sendHeldLocked(result);
            }
            continue;
        }
        result.progress = classify(n, "SSL_write");
        if (result.progress == KoTlsProgress::wantRead) writeWantsRead_ = true;
        if (result.progress == KoTlsProgress::wantWrite) writeWantsWrite_ = true;
        if (result.progress == KoTlsProgress::closed) {
            // Bytes that cannot be delivered are a failure, not an end.
            failLocked("SSL_write: peer closed the connection");
            result.progress = KoTlsProgress::failed;
        }
        return result.progress == KoTlsProgress::failed ? result : sendHeldLocked(result);
    }
    result.progress = KoTlsProgress::more;
    return sendHeldLocked(result);
}

KoTlsStepResult KoTlsSession::sendHeldLocked(KoTlsStepResult result) {
    switch (flushHeldLocked()) {
    case KoTlsProgress::done:
        break;
    case KoTlsProgress::failed:
        failLocked("SSL_write: " + platform::errorText(bio_.lastError));
        result.progress = KoTlsProgress::failed;
        break;
    default:
        if (result.progress != KoTlsProgress::wantRead) result.progress = KoTlsProgress::wantWrite;
        break;
    }
    return result;
}

KoTlsStepResult KoTlsSession::handshakeStep() {
    std::lock_guard<KoSmallLock> lock(mutex_);
    bio_.mayRead = true;
    return handshakeLocked();
}

void KoTlsSession::connect() {
    for (;;) {
        const KoTlsStepResult step = handshakeStep();
        if (step.progress == KoTlsProgress::done) return;
        if (step.progress == KoTlsProgress::failed || step.progress == KoTlsProgress::closed) {
            if (handshakeTimedOutFlag()) throw KoException("Error getting SSL_connect", 529, kSource);
            throw KoException("SSL handshake failed: " + failureReason(), 0, kSource);
        }
        const int left = remainingMs(deadline_);
        if (left == 0) continue;  // the next step reports the deadline
        if (step.progress == KoTlsProgress::wantWrite) {
            const int limit = static_cast<int>(std::min<long long>(clientHandshakeWriteWait_.count(), INT_MAX));
            const auto waited = platform::waitDescriptor(fd_, platform::writable, std::min(left, limit));
            if (!waited.ok()) throw KoException("Error getting SSL write", 519, kSource);
            if (waited.value() == 0) {
                if (left <= limit) continue;  // the deadline, not the write wait, ran out
                throw KoException("Error getting SSL write", 519, kSource);
            }
        } else {
            const auto waited = platform::waitDescriptor(fd_, platform::readable, left);
            if (!waited.ok()) throw KoException("Error getting SSL read", 504, kSource);
        }
    }
}

KoTlsStepResult KoTlsSession::receiveStep(KoTlsPlaintext& app) {
    std::lock_guard<KoSmallLock> lock(mutex_);
    bio_.mayRead = true;  // the socket was reported readable
    KoTlsStepResult handshake = handshakeLocked();
    if (handshake.progress != KoTlsProgress::done) return handshake;
    if (phase_ == Phase::closed) {
        KoTlsStepResult ended;
        ended.progress = KoTlsProgress::closed;
        return ended;
    }
    int calls = handshake.calls;
    if (writeWantsRead_ && !readWantsWrite_) {
        const KoTlsStepResult write = writeLocked(app);
        calls += write.calls;
        if (write.progress == KoTlsProgress::failed || writeWantsRead_) {
            KoTlsStepResult stalled = write;
            stalled.bytes = 0;
            stalled.calls = calls;
            return stalled;
        }
    }
    KoTlsStepResult read = readLocked(app);
    read.calls += calls;
    return read;
}

KoTlsStepResult KoTlsSession::sendStep(KoTlsPlaintext& app) {
    std::lock_guard<KoSmallLock> lock(mutex_);
    KoTlsStepResult handshake = handshakeLocked();
    if (handshake.progress != KoTlsProgress::done) return handshake;
    int calls = handshake.calls;
    if (fatal_ || (shutdownSent_ && !shutdownPending_)) {
        KoTlsStepResult ended;
        ended.progress = KoTlsProgress::closed;
        ended.calls = calls;
        return ended;
    }
    if (shutdownPending_) {
        tls_detail::clearErrors();
        const int outcome = SSL_shutdown(tls_.get());
        KoTlsStepResult closing;
        closing.calls = calls + 1;
        if (outcome >= 0 || SSL_get_error(tls_.get(), outcome) != SSL_ERROR_WANT_WRITE) {
            tls_detail::clearErrors();
            shutdownPending_ = false;
        } else {
            closing.progress = KoTlsProgress::wantWrite;
        }
        return closing;
    }
    if (readWantsWrite_ && phase_ == Phase::open) {
        const KoTlsStepResult read = readLocked(app);
        calls += read.calls;
        if (read.progress == KoTlsProgress::failed || read.progress == KoTlsProgress::closed || readWantsWrite_) {
            KoTlsStepResult stalled = read;
            stalled.bytes = 0;
            stalled.calls = calls;
            return stalled;
        }
    }
    // The write sends what it held, with the handshake's tickets that no
    // answer took along.
    KoTlsStepResult write = writeLocked(app);
    write.calls += calls;
    return write;
}

KoTlsStepResult KoTlsSession::shutdown() {
    std::lock_guard<KoSmallLock> lock(mutex_);
    KoTlsStepResult result;
    if (phase_ == Phase::handshaking || phase_ == Phase::failed || fatal_) return result;
    if (shutdownSent_ && !shutdownPending_) return result;
    shutdownSent_ = true;
    tls_detail::clearErrors();
    const int outcome = SSL_shutdown(tls_.get());
    result.calls = 1;
    // 0: ours is sent, the peer's not yet seen; we do not wait for it.
    if (outcome >= 0) {
        shutdownPending_ = false;
        return result;
    }
    if (SSL_get_error(tls_.get(), outcome) == SSL_ERROR_WANT_WRITE) {
        shutdownPending_ = true;
        result.progress = KoTlsProgress::wantWrite;
        return result;
    }
    shutdownPending_ = false;
    tls_detail::clearErrors();
    return result;
}

int KoTlsSession::descriptor() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return tlsDescriptor_;
}

std::string KoTlsSession::applicationProtocol() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    if (phase_ != Phase::open) return {};
    const unsigned char* name = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(tls_.get(), &name, &length);
    return name == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(name), length);
}

bool KoTlsSession::handshakeDone() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return tlsDescriptor_ >= 0;
}

bool KoTlsSession::failed() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return phase_ == Phase::failed;
}

bool KoTlsSession::closed() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return phase_ == Phase::closed;
}

bool KoTlsSession::cleanClose() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return cleanClose_;
}

std::string KoTlsSession::failureReason() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return reason_;
}

bool KoTlsSession::handshakeTimedOutFlag() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return timedOut_;
}

bool KoTlsSession::handshakeExpired() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return timedOut_ || (phase_ == Phase::handshaking && std::chrono::steady_clock::now() >= deadline_);
}

bool KoTlsSession::wantsRead() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return phase_ == Phase::handshaking || phase_ == Phase::open;
}

bool KoTlsSession::wantsWrite() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    switch (phase_) {
    case Phase::handshaking:
        return handshakeWantsWrite_ || !bio_.held.empty();
    case Phase::open:
    case Phase::closed:
        return !fatal_ && (writeWantsWrite_ || readWantsWrite_ || shutdownPending_ || !bio_.held.empty());
    case Phase::failed:
        break;
    }
    return false;
}

bool KoTlsSession::hasBufferedInput() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    if (phase_ != Phase::open) return false;
    if (SSL_pending(tls_.get()) > 0) return true;
    // Records read ahead count until a read found them incomplete: a partial
    // record waits for the socket, and stepping for it at once would spin.
    return !readWantsRead_ && SSL_has_pending(tls_.get()) == 1;
}

bool KoTlsSession::releaseBuffers() {
    std::lock_guard<KoSmallLock> lock(mutex_);
    if (phase_ != Phase::open || fatal_ || shutdownPending_ || writeWantsRead_ || writeWantsWrite_) return false;
    if (!bio_.held.empty()) return false;
    if (SSL_has_pending(tls_.get()) == 1) return false;
    if (SSL_free_buffers(tls_.get()) != 1) return false;
    std::string().swap(pendingOutput_);
    return true;
}

bool KoTlsSession::writeWantsRead() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return writeWantsRead_;
}

bool KoTlsSession::writeWantsWrite() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return writeWantsWrite_;
}

bool KoTlsSession::readWantsRead() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return readWantsRead_;
}

bool KoTlsSession::readWantsWrite() const {
    std::lock_guard<KoSmallLock> lock(mutex_);
    return readWantsWrite_;
}
