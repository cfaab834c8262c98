// Net: what a TLS server learnt of its client's certificate, read once the
// handshake is complete (a resumed session included: OpenSSL keeps the
// peer's certificate and its verification result in the session).
//
// Texts come from the client's certificate: whoever writes them to a log
// escapes them. Any thread; no OpenSSL type is visible here.
#pragma once

#include <string>

struct ssl_st;

// How a server treats client certificates.
enum class KoClientCertificateCheck {
    off,       // none asked for
    optional,  // asked for; a request goes on without one or with a bad one
    required,  // the handshake ends without one that verifies
};

struct KoTlsPeerCertificate {
    // "SUCCESS", "NONE" (none sent), or "FAILED:" and OpenSSL's reason;
    // empty when the server asks for none.
    std::string verify;
    // Of a verified certificate only (empty otherwise): subject and issuer
    // in RFC 2253 form, the serial number in upper-case hex, and the
    // SHA-256 digest of the certificate in lower-case hex.
    std::string subject;
    std::string issuer;
    std::string serial;
    std::string fingerprint;
};

namespace tls_detail {

// The client certificate of an established server session.
KoTlsPeerCertificate peerCertificateOf(ssl_st* tls);

}  // namespace tls_detail
