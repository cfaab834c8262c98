// Host interface: a host's stream of Server-Sent Events (Server::events).
// The route runs on the handler queue: it makes the stream's handle, lets
// the host's onOpen send the first events, and answers 200
// "text/event-stream" ("Cache-Control: no-store"), whose body of unknown
// length (chunked on HTTP/1.1) comes from the stream as the host sends.
// Sends never block: past EventStreamOptions::maxQueued bytes waiting for
// the client they report false. A heartbeat comment goes out after
// `heartbeat` without anything sent; onClose runs, on the live channels'
// queue, once the connection let go of the stream (the client went, the
// host closed it, the server stops).
// May use: server, message and everything below.
#pragma once

#include <memory>
#include <string>

#include "host/live_channels.h"
#include "server/routing/router_services.h"
#include "velkotwo/server.h"

class KoEventStreamRoute : public KoApplicationHandler {
public:
    KoEventStreamRoute(std::string path, velko::EventStreamHandlers handlers, velko::EventStreamOptions options,
                       std::shared_ptr<KoLiveChannels> live);

    std::string handlerName() const override { return "events " + path; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) override;
    bool mayBlock() const override { return true; }

private:
    const std::string path;
    const std::shared_ptr<const velko::EventStreamHandlers> handlers;
    const velko::EventStreamOptions options;
    const std::shared_ptr<KoLiveChannels> live;
};
