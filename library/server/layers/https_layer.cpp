#include "server/layers/https_layer.h"

#include <utility>

#include "message/server_header.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#if VELKO_HTTP2
#include "server/connection/http2_protocol.h"
#endif

namespace {

std::string KeyEntry(const std::shared_ptr<KoXServerHeader>& header, const char* key) {
    return header ? header->Lookup(key, "") : std::string();
}

void DropConnection(KoTransceiver& transceiver, KoTransceiverConnection& connection) {
    transceiver.RemoveConnection(connection, false);
}

std::shared_ptr<KoTransceiverConnection> MakeTlsConnection(KoTransceiverServerL1_SSLAddon& addOn,
                                                           KoTransceiver& transceiver, const std::string& owner,
                                                           const std::string& peer, const KoServerCallback_t& record,
                                                           KoSocketIPvx* socket, KoHTTPConnection::Server& server,
                                                           const KoHTTPConnection::Pacing* pacing) {
    std::shared_ptr<KoTransceiverConnection> connection;
    if (socket != nullptr)
        addOn.CreateConnection(connection, transceiver, owner, peer, record, DropConnection, *socket, {}, &server,
                               pacing);
    return connection;
}

}  // namespace

KoTransceiverServerL1HTTPS::KoTransceiverServerL1HTTPS(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_,
                                                       std::string clientId_, std::string serverId_,
                                                       std::string connectionTag_,
                                                       std::shared_ptr<KoXServerHeader> header_,
                                                       KoServerCallback callback_, RequestSink sink_,
                                                       KoHTTPSettings settings_, KoTlsSettings tlsSettings_)
    : KoTransceiverServerL1_SSLAddon(KeyEntry(header_, "cacertificate"), KeyEntry(header_, "privatekey"),
                                     tlsSettings_, KeyEntry(header_, "privatekeypassphrase")),
      KoTransceiverServerL1HTTP(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                                std::move(connectionTag_), std::move(header_), std::move(callback_), std::move(sink_),
                                settings_, protocol::HTTPS) {
    connectionFileChunk = settings_.fileChunk;
#if VELKO_HTTP2
    if (settings_.http2.enabled) http2Connections = std::make_shared<KoHttp2Connections>();
#endif
    context().offerApplicationProtocols(http2Connections != nullptr);
}

KoTransceiverServerL1HTTPS::~KoTransceiverServerL1HTTPS() {
    // The listener makes connections from the context: it ends first.
    withdraw();
    KoTransceiverServerL1HTTP::endJobs();
}

void KoTransceiverServerL1HTTPS::stop() {
    KoTransceiverServerL1HTTP::stop();
#if VELKO_HTTP2
    // Before the loops stop and close the connections.
    if (http2Connections) http2Connections->goAway();
#endif
}

std::shared_ptr<KoTransceiverConnection> KoTransceiverServerL1HTTPS::createConnection(
    KoTransceiver& target, const std::string& serverIdentifier, const KoServerCallback_t& record,
    std::shared_ptr<KoSocketIPvx> socket) {
    auto connection = MakeTlsConnection(*this, target, serverIdentifier, connectionTagText(), record, socket.get(),
                                        *this, &pacing());
    if (http2Connections) {
        if (auto* tls = dynamic_cast<KoTransceiverConnection_SSLAddon*>(connection.get())) {
            tls->SetApplicationProtocols(this);
        }
    }
    return connection;
}

std::unique_ptr<KoConnectionProtocol> KoTransceiverServerL1HTTPS::protocolFor(const std::string& name,
                                                                             KoHTTPConnection& connection) {
#if VELKO_HTTP2
    if (name == "h2" && http2Connections) return std::make_unique<KoHttp2Protocol>(*this, connection, http2Connections);
#else
    (void)name;
    (void)connection;
#endif
    return nullptr;
}

KoTransceiverServerL1VELKOS::KoTransceiverServerL1VELKOS(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_,
                                                         std::string clientId_, std::string serverId_,
                                                         std::string connectionTag_,
                                                         std::shared_ptr<KoXServerHeader> header_,
                                                         KoServerCallback callback_, RequestSink sink_,
                                                         KoHTTPSettings settings_, KoTlsSettings tlsSettings_)
    : KoTransceiverServerL1_SSLAddon(KeyEntry(header_, "cacertificate"), KeyEntry(header_, "privatekey"),
                                     tlsSettings_, KeyEntry(header_, "privatekeypassphrase")),
      KoTransceiverServerL1VELKO(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                                 std::move(connectionTag_), std::move(header_), std::move(callback_),
                                 std::move(sink_), settings_) {
    connectionFileChunk = settings_.fileChunk;
}

KoTransceiverServerL1VELKOS::~KoTransceiverServerL1VELKOS() {
    withdraw();
    KoTransceiverServerL1HTTP::endJobs();
}

std::shared_ptr<KoTransceiverConnection> KoTransceiverServerL1VELKOS::createConnection(
    KoTransceiver& target, const std::string& serverIdentifier, const KoServerCallback_t& record,
    std::shared_ptr<KoSocketIPvx> socket) {
    return MakeTlsConnection(*this, target, serverIdentifier, connectionTagText(), record, socket.get(), *this,
                             &pacing());
}
