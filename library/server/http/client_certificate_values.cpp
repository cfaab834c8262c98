#include "server/http/client_certificate_values.h"

namespace {

struct Variable {
    const char* key;
    const char* name;
};

constexpr Variable kVariables[] = {
    {client_certificate_key::verify, "SSL_CLIENT_VERIFY"},
    {client_certificate_key::subject, "SSL_CLIENT_S_DN"},
    {client_certificate_key::issuer, "SSL_CLIENT_I_DN"},
    {client_certificate_key::serial, "SSL_CLIENT_M_SERIAL"},
    {client_certificate_key::fingerprint, "SSL_CLIENT_FINGERPRINT"},
};

}  // namespace

void KoDescribeClientCertificate(const KoTlsPeerCertificate& peer, std::map<std::string, std::string>& description) {
    if (peer.verify.empty()) return;
    description[client_certificate_key::verify] = peer.verify;
    if (peer.subject.empty() && peer.fingerprint.empty()) return;
    description[client_certificate_key::subject] = peer.subject;
    description[client_certificate_key::issuer] = peer.issuer;
    description[client_certificate_key::serial] = peer.serial;
    description[client_certificate_key::fingerprint] = peer.fingerprint;
}

void KoAddClientCertificateVariables(const std::map<std::string, std::string>& description,
                                     std::map<std::string, std::string>& environment) {
    for (const Variable& variable : kVariables) {
        auto it = description.find(variable.key);
        if (it != description.end()) environment[variable.name] = it->second;
    }
}
