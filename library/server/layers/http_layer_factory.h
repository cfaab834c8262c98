// Server stack: installs the builder of HTTP layers (protocol code 3) on a
// transceiver. The application gives, per client identifier, the sink that
// takes the client's complete requests, and the planner that says at each
// request's header end what its body is for (none: bodies are held). Call
// before AddServer; any thread.
#pragma once

#include <functional>
#include <string>

#include "server/connection/http_layer.h"

class KoTransceiver;

using KoRequestSinkSource = std::function<KoTransceiverServerL1HTTP::RequestSink(const std::string& clientId)>;

using KoBodyPlannerSource = std::function<KoBodyPlanner(const std::string& clientId)>;

void KoInstallHTTPLayerFactory(KoTransceiver& transceiver, const KoHTTPSettings& settings, KoRequestSinkSource sinks,
                               KoBodyPlannerSource planners = {});
