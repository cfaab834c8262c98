// Server stack: KoTransceiverServerL1VELKO, the layer of the system's own
// text protocol (first lines carry "VELKO/" where HTTP carries "HTTP/"): the
// HTTP layer under protocol code 6, with plain connections. The router
// answers its requests with 404 and an empty body. Ownership, threads and
// failures are the HTTP layer's.
#pragma once

#include <memory>
#include <string>

#include "server/connection/http_layer.h"

class KoTransceiverServerL1VELKO : public KoTransceiverServerL1HTTP {
public:
    KoTransceiverServerL1VELKO(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                               std::string serverId, std::string connectionTag,
                               std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                               RequestSink sink, KoHTTPSettings settings = {});
    ~KoTransceiverServerL1VELKO() override;
};
