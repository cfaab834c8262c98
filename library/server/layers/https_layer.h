// Server stack: the protocol layers over TLS. KoTransceiverServerL1HTTPS is
// the HTTP layer (parsing, routing, answers, access log) with TLS
// connections and protocol code 4, so the access log names "https".
// KoTransceiverServerL1VELKOS is the VELKO layer over TLS (protocol code 7
// asks for it); its messages carry code 6, as VELKO's do.
//
// Construction makes the TLS context first (see
// KoTransceiverServerL1_SSLAddon for the "(SSL) " errors it throws), so a
// layer whose certificate or key cannot be used is never built and nothing
// of it is left behind. Accepted sockets become non-blocking TLS connections
// whose handshake the transceiver's loops drive, with the deadline of the
// TLS settings (10 s by default).
//
// HTTP/2: where the build has nghttp2 and the settings' http2 is enabled,
// ALPN offers "h2" before "http/1.1", and a connection that chose it
// speaks KoHttp2Protocol to the same router. At stop every HTTP/2
// connection says GOAWAY before the connections are closed.
//
// Ownership and threads as for the HTTP layer; the destructor ends the
// listener before the context goes, so no connection is made without it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/tls_session.h"
#include "server/connection/http_layer.h"
#include "server/layers/tls_connection.h"
#include "server/layers/tls_layer.h"
#include "server/layers/velko_layer.h"

class KoHttp2Connections;

class KoTransceiverServerL1HTTPS : public KoTransceiverServerL1_SSLAddon,
                                   public KoTransceiverServerL1HTTP,
                                   private KoApplicationProtocols {
public:
    KoTransceiverServerL1HTTPS(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                               std::string serverId, std::string connectionTag,
                               std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                               RequestSink sink, KoHTTPSettings settings = {}, KoTlsSettings tlsSettings = {});
    ~KoTransceiverServerL1HTTPS() override;

    // The listener is told to end, and HTTP/2 connections say GOAWAY (the
    // stop waits a bounded time for them to have written it).
    void stop() override;
    std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                              const std::string& serverIdentifier,
                                                              const KoServerCallback_t& record,
                                                              std::shared_ptr<KoSocketIPvx> socket) override;
    // Whether ALPN offers "h2".
    bool OffersHttp2() const { return http2Connections != nullptr; }

private:
    std::unique_ptr<KoConnectionProtocol> protocolFor(const std::string& name, KoHTTPConnection& connection) override;

    std::shared_ptr<KoHttp2Connections> http2Connections;  // null: no HTTP/2
};

class KoTransceiverServerL1VELKOS : public KoTransceiverServerL1_SSLAddon, public KoTransceiverServerL1VELKO {
public:
    KoTransceiverServerL1VELKOS(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                                std::string serverId, std::string connectionTag,
                                std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                                RequestSink sink, KoHTTPSettings settings = {}, KoTlsSettings tlsSettings = {});
    ~KoTransceiverServerL1VELKOS() override;

    std::shared_ptr<KoTransceiverConnection> createConnection(KoTransceiver& transceiver,
                                                              const std::string& serverIdentifier,
                                                              const KoServerCallback_t& record,
                                                              std::shared_ptr<KoSocketIPvx> socket) override;
};
