#include "server/layers/velko_layer.h"

#include <utility>

#include "message/protocols.h"

KoTransceiverServerL1VELKO::KoTransceiverServerL1VELKO(KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_,
                                                       std::string clientId_, std::string serverId_,
                                                       std::string connectionTag_,
                                                       std::shared_ptr<KoXServerHeader> header_,
                                                       KoServerCallback callback_, RequestSink sink_,
                                                       KoHTTPSettings settings_)
    : KoTransceiverServerL1HTTP(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                                std::move(connectionTag_), std::move(header_), std::move(callback_), std::move(sink_),
                                std::move(settings_), protocol::VELKO) {}

KoTransceiverServerL1VELKO::~KoTransceiverServerL1VELKO() = default;
