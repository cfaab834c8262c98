#include "server/layers/http_layer_factory.h"

#include <memory>
#include <utility>

#include "message/server_header.h"
#include "message/transceiver.h"

void KoInstallHTTPLayerFactory(KoTransceiver& transceiver, const KoHTTPSettings& settings, KoRequestSinkSource sinks,
                               KoBodyPlannerSource planners) {
    transceiver.SetLayerFactory(
        protocol::HTTP, [settings, sinks = std::move(sinks), planners = std::move(planners)](const KoLayerRequest& request) {
            std::shared_ptr<KoXServerHeader> header = request.header;
            auto sink = sinks ? sinks(request.clientId) : KoTransceiverServerL1HTTP::RequestSink();
            auto layer = std::shared_ptr<KoTransceiverServerL1HTTP>(
                new KoTransceiverServerL1HTTP(request.scheduler, request.transceiver, request.clientId,
                                              request.serverId, request.connectionTag, header, request.callback,
                                              std::move(sink), settings),
                KoJobDeleter());
            if (planners) layer->SetBodyPlanner(planners(request.clientId));
            return std::shared_ptr<KoTransceiverLayer>(layer);
        });
}
