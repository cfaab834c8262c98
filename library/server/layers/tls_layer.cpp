#include "server/layers/tls_layer.h"

#include <utility>

#include "foundation/exception.h"
#include "message/server_header.h"
#include "net/socket_ipvx.h"
#include "server/layers/tls_connection.h"

KoTransceiverServerL1_SSLAddon::KoTransceiverServerL1_SSLAddon(KoXServerHeader& description,
                                                               KoTlsSettings settings_)
    : KoTransceiverServerL1_SSLAddon(description.Lookup("cacertificate", ""), description.Lookup("privatekey", ""),
                                     settings_, description.Lookup("privatekeypassphrase", "")) {}

KoTransceiverServerL1_SSLAddon::KoTransceiverServerL1_SSLAddon(std::string certificateFile,
                                                               std::string privateKeyFile, KoTlsSettings settings_,
                                                               const std::string& passphrase)
    : certificate(std::move(certificateFile)), privateKey(std::move(privateKeyFile)), role(true), settings(settings_) {
    tlsContext = std::make_unique<KoTlsContext>(certificate, privateKey, passphrase);
    tlsContext->verifyClients(settings.clientCertificates, settings.clientCaFile, settings.clientVerifyDepth);
    tlsContext->enableResumption(settings.sessionCacheSize, settings.ticketKeyLifetime);
}

KoTransceiverServerL1_SSLAddon::KoTransceiverServerL1_SSLAddon(KoTlsSettings settings_)
    : tlsContext(std::make_unique<KoTlsContext>()), settings(settings_) {}

KoTransceiverServerL1_SSLAddon::~KoTransceiverServerL1_SSLAddon() = default;

void KoTransceiverServerL1_SSLAddon::CreateConnection(std::shared_ptr<KoTransceiverConnection>& out,
                                                      KoTransceiver& transceiver, const std::string& owner,
                                                      const std::string& peer, const KoServerCallback_t& record,
                                                      KoConnectionHandler handler, KoSocketIPvx& socket,
                                                      const std::string& remoteHost, KoHTTPConnection::Server* server,
                                                      const KoHTTPConnection::Pacing* pacing) {
    if (!tlsContext) throw KoException("Error getting SSL context", 450, "src");
    const int descriptor = socket.fd() >= 0 ? socket.fd() : socket.fd4();
    auto connection = std::make_shared<KoTransceiverConnection_SSLAddon>(
        transceiver, owner, peer, record, std::move(handler), *tlsContext, descriptor, settings,
        connectionFileChunk, server, pacing);
    if (!role) connection->Connect(remoteHost);
    out = std::move(connection);
}
