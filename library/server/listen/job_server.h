// Server stack: KoTransceiverServerL0, the layer-0 server: it turns the
// engine's job messages into work (code 8, input arrived: deliver; code 2:
// stop a connecting server). Everything else is KoTransceiverServer's.
// Threads: receive runs on the dispatcher's thread.
#pragma once

#include "server/listen/transceiver_server.h"

class KoTransceiverServerL0 : public KoTransceiverServer {
public:
    using KoTransceiverServer::KoTransceiverServer;

    bool receive(KoJobMessage& message) override;
    bool start() override;
};
