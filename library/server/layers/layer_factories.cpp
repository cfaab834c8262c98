#include "server/layers/layer_factories.h"

#include <memory>
#include <type_traits>
#include <utility>

#include "jobs/job.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "server/layers/direct_socket_layer.h"
#include "server/layers/https_layer.h"
#include "server/layers/velko_layer.h"

namespace {

template <class Layer, class... Extra>
KoLayerFactory FactoryOf(KoRequestSinkSource sinks, KoBodyPlannerSource planners, Extra... extra) {
    return [sinks = std::move(sinks), planners = std::move(planners), extra...](const KoLayerRequest& request) {
        auto sink = sinks ? sinks(request.clientId) : KoTransceiverServerL1HTTP::RequestSink();
        auto layer = std::shared_ptr<Layer>(new Layer(request.scheduler, request.transceiver, request.clientId,
                                                      request.serverId, request.connectionTag, request.header,
                                                      request.callback, std::move(sink), extra...),
                                            KoJobDeleter());
        if constexpr (std::is_base_of_v<KoTransceiverServerL1HTTP, Layer>) {
            if (planners) layer->SetBodyPlanner(planners(request.clientId));
        }
        return std::shared_ptr<KoTransceiverLayer>(layer);
    };
}

}  // namespace

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

void KoInstallProtocolLayerFactories(KoTransceiver& transceiver, const KoHTTPSettings& settings,
                                     const KoTlsSettings& tlsSettings, KoRequestSinkSource sinks,
                                     KoBodyPlannerSource planners) {
    transceiver.SetLayerFactory(protocol::HTTPS,
                                FactoryOf<KoTransceiverServerL1HTTPS>(sinks, planners, settings, tlsSettings));
    transceiver.SetLayerFactory(protocol::VELKO, FactoryOf<KoTransceiverServerL1VELKO>(sinks, planners, settings));
    // A secure protocol is never served in the clear.
    transceiver.SetLayerFactory(protocol::VELKOS,
                                FactoryOf<KoTransceiverServerL1VELKOS>(sinks, planners, settings, tlsSettings));
    transceiver.SetLayerFactory(protocol::DirectSocket,
                                FactoryOf<KoTransceiverServerL1DirectSocket>(sinks, {}, settings.server));
}
