// Server stack: a TLS client's certificate as a request carries it. The
// connection records it in each request's description under the keys
// below; handlers read it from there, and CGI programs get it as the
// variables web servers name it (SSL_CLIENT_VERIFY, SSL_CLIENT_S_DN,
// SSL_CLIENT_I_DN, SSL_CLIENT_M_SERIAL, SSL_CLIENT_FINGERPRINT). Nothing
// is recorded when the server asks for no certificate. Any thread.
#pragma once

#include <map>
#include <string>

#include "net/tls_peer_certificate.h"

namespace client_certificate_key {
inline constexpr const char* verify = "clientverify";
inline constexpr const char* subject = "clientsubject";
inline constexpr const char* issuer = "clientissuer";
inline constexpr const char* serial = "clientserial";
inline constexpr const char* fingerprint = "clientfingerprint";
}  // namespace client_certificate_key

// Adds peer's values to description (nothing when none was asked for).
void KoDescribeClientCertificate(const KoTlsPeerCertificate& peer, std::map<std::string, std::string>& description);

// The CGI variables of the certificate a description records.
void KoAddClientCertificateVariables(const std::map<std::string, std::string>& description,
                                     std::map<std::string, std::string>& environment);
