// Host interface: a host's WebSocket route (Server::webSocket). On the
// loop that routes the request, KoWebSocketRoute checks the handshake and
// the page's Origin and answers 101 with a KoWebSocketProtocol to follow,
// or refuses: 426 with "Upgrade: websocket" for a request that asks for no
// WebSocket, 400 for a broken handshake (426 for another version), 403 for
// a refused Origin. The host's callbacks run on the live channels' queue,
// in order per WebSocket (KoCallbackSequence), and the client's input waits
// while the host is behind with its messages.
// May use: server, websocket, message and everything below.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/live_channels.h"
#include "server/routing/router_services.h"
#include "velkotwo/server.h"

// Whether a page of origin may open a WebSocket of a request to host (its
// Host field) on a connection of scheme ("http", "https"), given the
// route's list (empty: the same site only; "*": any). An empty origin (no
// browser) may.
bool KoWebSocketOriginAllowed(const std::string& origin, const std::string& host, const std::string& scheme,
                              const std::vector<std::string>& allowed);

class KoWebSocketRoute : public KoApplicationHandler {
public:
    KoWebSocketRoute(std::string path, velko::WebSocketHandlers handlers, velko::WebSocketOptions options,
                     std::shared_ptr<KoLiveChannels> live);

    std::string handlerName() const override { return "WebSocket " + path; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) override;

private:
    const std::string path;
    const std::shared_ptr<const velko::WebSocketHandlers> handlers;
    const velko::WebSocketOptions options;
    const std::shared_ptr<KoLiveChannels> live;
};
