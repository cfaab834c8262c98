// Net: a TLS context, the set-up that every TLS session of one server (or of
// the outgoing side) is made from. Wraps one OpenSSL SSL_CTX; no OpenSSL type
// is visible to the layers above.
//
// Server role: built from a PEM certificate file (a leaf, optionally followed
// by its chain) and a PEM private key file, which must match. Client role:
// no certificate; the peer's certificate is not verified unless the owner
// asks for it with verifyPeers(). Either role uses the system OpenSSL's
// protocol defaults with TLS 1.2 as the minimum. The server role offers
// TLS 1.2 only with ECDHE and AES-GCM or ChaCha20-Poly1305, in its own order
// of preference (AES-128-GCM first); TLS 1.3 all three of its suites in the
// same order. In TLS 1.3 a full handshake hands out one session ticket.
//
// Failures: the constructors throw KoException_SSL, whose what() reads
// "(SSL) " and then one of:
//   "can't find ca certificate and/or private key"     a file name is empty
//   "problem with SSL method initialization"           no server context
//   "problem with SSL key pair"                        a file cannot be
//                                                      read, is no PEM of its
//                                                      kind, or the key does
//                                                      not match
//   "problem with SSL method initialization (client)"  no client context
// A failed set-up always raises, whatever other contexts the process holds;
// a constructed context is always usable. The key-pair case is thrown as
// KoTlsKeyPairError, whose cause() says why, naming the file: it cannot be
// read, holds no PEM of its kind, the files are swapped, the key is
// encrypted (and no pass phrase, or a wrong one, was given) or belongs to
// another certificate. The cause and OpenSSL's reasons also go to the
// diagnostics (standard error) as one line.
//
// No context ever asks for a pass phrase on the terminal: an encrypted key
// is opened with the pass phrase given to the constructor, or refused.
//
// Ownership and threads: a context is neither copied nor moved; the owner
// (a protocol layer) keeps it for the layer's lifetime. Sessions made from it
// hold their own reference to the underlying SSL_CTX, so they may outlive it.
// Creating sessions from several threads at once is safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/exception.h"
#include "net/tls_peer_certificate.h"

struct ssl_ctx_st;
class KoTlsTicketKeys;

// "(SSL) problem with SSL key pair", with the cause beside the message.
class KoTlsKeyPairError : public KoException_SSL {
public:
    explicit KoTlsKeyPairError(std::string cause);
    // Why, naming the file, e.g. "cannot read the private key file k.pem:
    // No such file or directory".
    const std::string& cause() const { return cause_; }

private:
    std::string cause_;
};

class KoTlsContext {
public:
    // Server role. passphrase opens an encrypted key (empty: the key must
    // not be encrypted).
    KoTlsContext(const std::string& certificateFile, const std::string& privateKeyFile,
                 const std::string& passphrase = {});
    // Client role.
    KoTlsContext();

    KoTlsContext(const KoTlsContext&) = delete;
    KoTlsContext& operator=(const KoTlsContext&) = delete;
    ~KoTlsContext();

    // Client role: sessions made after this call check the server's
    // certificate chain against caFile (PEM; empty: the system's trust
    // store) and, when given a server name, its host name or address.
    // Throws KoException_SSL "problem with SSL trust store" when the file
    // cannot be loaded. Call before any session is made. The server role
    // ignores it (see verifyClients).
    void verifyPeers(const std::string& caFile = "");
    bool verifiesPeers() const { return verifiesPeers_; }

    // Server role: asks clients for a certificate issued (through at most
    // depth intermediates) by one of the certificates in caFile (PEM),
    // whose names are offered to the client. required: the handshake ends
    // without one that verifies; optional: it goes on and the session
    // records what it got (KoTlsSession::peerCertificate). Resumed sessions
    // keep their peer's certificate and result. Throws KoException_SSL
    // "problem with SSL trust store" when caFile is empty or cannot be
    // loaded. Call before any session is made; the client role ignores it.
    void verifyClients(KoClientCertificateCheck check, const std::string& caFile, int depth);

    // Server role: lets clients resume their sessions. Session tickets are
    // sealed with keys made at random in this process and replaced every
    // ticketKeyLifetime (KoTlsTicketKeys); sessions of clients without
    // tickets are kept in a cache of at most cacheSize. Call before any
    // session is made; the client role ignores it.
    void enableResumption(std::size_t cacheSize, std::chrono::seconds ticketKeyLifetime);

    // Server role: the application protocols chosen by ALPN, "h2" first
    // when http2, then "http/1.1". A client that offers neither goes on
    // without one (HTTP/1.1). Call before any session is made; the client
    // role ignores it.
    void offerApplicationProtocols(bool http2);

    bool serverRole() const { return serverRole_; }
    const std::string& certificateFile() const { return certificateFile_; }
    const std::string& privateKeyFile() const { return privateKeyFile_; }

    // Contexts ever constructed in the process, less the server-role ones
    // whose set-up failed (destruction leaves the count alone).
    static std::int64_t addOnCount();

private:
    friend class KoTlsSession;

    struct Free {
        void operator()(ssl_ctx_st* context) const;
    };

    std::unique_ptr<ssl_ctx_st, Free> context_;
    std::unique_ptr<KoTlsTicketKeys> ticketKeys_;
    std::string certificateFile_;
    std::string privateKeyFile_;
    bool serverRole_ = false;
    bool verifiesPeers_ = false;
};
