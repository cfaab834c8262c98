// Server stack, layers/: the protocol layers beside and over the HTTP layer
// - HTTPS and VELKO over TLS (https_layer.h), the TLS part of a layer and
// its connections (tls_layer.h, tls_connection.h), VELKO (velko_layer.h),
// the direct socket (direct_socket_layer.h) - and (this header) the
// builders that install every layer on a transceiver.
// May use: connection, routing, http, listen, message, jobs, net,
// foundation.
//
// This header: installs on a transceiver the builders of the protocol
// layers: 3 HTTP (KoInstallHTTPLayerFactory), and beside it 4 HTTPS, 6
// VELKO, 7 VELKO over TLS, 9 direct socket (KoInstallProtocolLayerFactories).
// sinks gives, per client identifier, where the layer's complete messages go
// (the client), planners what the HTTP-based layers' request bodies are for
// (none: bodies are held). Call before AddServer; any thread.
//
// The builders throw what the layers' constructors throw, so AddServer (and
// the application's start) fails with the "(SSL) " KoException_SSL of a TLS
// set-up error, and no layer is registered then.
#pragma once

#include <functional>
#include <string>

#include "net/tls_session.h"
#include "server/connection/http_layer.h"
#include "server/routing/http_settings.h"

class KoTransceiver;

using KoRequestSinkSource = std::function<KoTransceiverServerL1HTTP::RequestSink(const std::string& clientId)>;

using KoBodyPlannerSource = std::function<KoBodyPlanner(const std::string& clientId)>;

void KoInstallHTTPLayerFactory(KoTransceiver& transceiver, const KoHTTPSettings& settings, KoRequestSinkSource sinks,
                               KoBodyPlannerSource planners = {});

void KoInstallProtocolLayerFactories(KoTransceiver& transceiver, const KoHTTPSettings& settings,
                                     const KoTlsSettings& tlsSettings, KoRequestSinkSource sinks,
                                     KoBodyPlannerSource planners = {});
