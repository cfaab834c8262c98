// Server stack: installs on a transceiver the builders of the protocol
// layers beyond plain HTTP: 4 HTTPS, 6 VELKO, 7 VELKO over TLS, 9 direct
// socket. sinks gives, per client identifier, where the layer's complete
// messages go (the client), planners what the HTTP-based layers' request
// bodies are for. Call before AddServer; any thread.
//
// The builders throw what the layers' constructors throw, so AddServer (and
// the application's start) fails with the "(SSL) " KoException_SSL of a TLS
// set-up error, and no layer is registered then.
#pragma once

#include "net/tls_session.h"
#include "server/layers/http_layer_factory.h"
#include "server/routing/http_settings.h"

class KoTransceiver;

void KoInstallProtocolLayerFactories(KoTransceiver& transceiver, const KoHTTPSettings& settings,
                                     const KoTlsSettings& tlsSettings, KoRequestSinkSource sinks,
                                     KoBodyPlannerSource planners = {});
