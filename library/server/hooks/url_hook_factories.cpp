#include "server/hooks/url_hook_factories.h"

#include <memory>
#include <utility>

#include "jobs/job.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "net/tls_context.h"
#include "server/hooks/url_hook_worker.h"

KoURLHookWorkerFactory KoURLHookWorkerFactoryFor(const KoURLHookSettings& settings, KoURLHookAnswerSink sink,
                                                 std::shared_ptr<const KoTlsContext> tlsContext) {
    return [settings, sink = std::move(sink), tlsContext = std::move(tlsContext)](
               KoKessaScheduler2& scheduler, KoTransceiver& transceiver, const std::string& clientId,
               const std::string& messageId, std::shared_ptr<KoXHeader> message, const std::string& serviceId,
               KoServerCallback callback) -> std::shared_ptr<KoTransceiverServerL0> {
        auto secure = message && message->ProtocolCode() == protocol::HTTPS ? tlsContext : nullptr;
        return std::shared_ptr<KoURLHookWorker>(new KoURLHookWorker(scheduler, transceiver, clientId, messageId,
                                                                    std::move(message), serviceId,
                                                                    std::move(callback), sink, settings, secure),
                                                KoJobDeleter());
    };
}

std::shared_ptr<const KoTlsContext> KoURLHookTlsContextFor(const KoURLHookSettings& settings,
                                                           const std::string& authority) {
    auto context = std::make_shared<KoTlsContext>();
    if (settings.unverifiedAuthorities.count(authority) == 0) context->verifyPeers(settings.caFile);
    return context;
}

void KoInstallURLHookFactories(KoTransceiver& transceiver, const KoURLHookSettings& settings,
                               KoURLHookAnswerSinkSource sinks) {
    for (std::int32_t code : {protocol::HTTP, protocol::HTTPS, protocol::VELKO, protocol::DirectSocket}) {
        transceiver.SetHookFactory(code, [code, settings, sinks](const KoLayerRequest& request) {
            KoURLHookAnswerSink sink = sinks ? sinks(request.clientId) : KoURLHookAnswerSink();
            std::shared_ptr<const KoTlsContext> context;
            if (code == protocol::HTTPS) {
                context = KoURLHookTlsContextFor(settings, request.description ? request.description->Authority()
                                                                                : std::string());
            }
            auto service = std::shared_ptr<KoURLHookService>(
                new KoURLHookService(request.scheduler, request.transceiver, request.clientId, request.serverId,
                                     request.connectionTag, request.callback,
                                     KoURLHookWorkerFactoryFor(settings, sink, context), sink, settings),
                KoJobDeleter());
            return std::shared_ptr<KoTransceiverLayer>(service);
        });
    }
}
