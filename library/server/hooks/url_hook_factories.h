// Server stack: installs on a transceiver the builders of URL hook services
// for the protocol codes 3 (HTTP), 4 (HTTPS), 6 (VELKO) and 9 (direct
// socket), which KoTransceiver::Dispatch uses for a client's first request
// to an authority. Each service gets the worker factory of its code; an
// HTTPS service also its client-role TLS context, which verifies peers
// (settings.caFile, or the system's trust store, and the host name) unless
// the service's authority is among settings.unverifiedAuthorities.
//
// sinks gives, per client identifier, where answers go (for a
// KoTransceiverClient: url_hook::ClientAnswerSink). Call before the first
// AddRoute; any thread. A builder throws KoException_SSL "problem with SSL
// trust store" when caFile cannot be loaded, and AddRoute fails with it.
#pragma once

#include <cstdint>

#include "server/hooks/hook_answers.h"
#include "server/hooks/url_hook_service.h"
#include "server/hooks/url_hook_settings.h"

class KoTlsContext;

void KoInstallURLHookFactories(KoTransceiver& transceiver, const KoURLHookSettings& settings,
                               KoURLHookAnswerSinkSource sinks);

// The worker factory of a protocol code; tlsContext only for HTTPS.
KoURLHookWorkerFactory KoURLHookWorkerFactoryFor(const KoURLHookSettings& settings, KoURLHookAnswerSink sink,
                                                 std::shared_ptr<const KoTlsContext> tlsContext);

// The client-role context for one authority, verifying as the settings say.
std::shared_ptr<const KoTlsContext> KoURLHookTlsContextFor(const KoURLHookSettings& settings,
                                                           const std::string& authority);
