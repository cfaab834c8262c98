// WebSocket: the opening handshake on the server's side - whether a request
// asks for a WebSocket, and the fields of the 101 answer that accepts it.
//
// The request's values are passed in as they arrived (a missing field is an
// empty view), so this file needs no message type. Checks: GET on HTTP/1.1
// or later, "Upgrade" naming websocket and "Connection" naming upgrade (as
// tokens, any case), "Sec-WebSocket-Version" 13 (else the answer is 426 with
// the version the server speaks) and a key that is base64 of 16 bytes.
// The subprotocol is the first of the client's that the route offers; the
// host decides about Origin itself. Plain functions: any thread.
// May use: foundation, net.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "websocket/permessage_deflate.h"

struct KoWebSocketRequest {
    std::string_view method;
    std::string_view version;  // "HTTP/1.1"
    std::string_view upgrade;
    std::string_view connection;
    std::string_view webSocketVersion;
    std::string_view key;
    std::string_view protocols;   // Sec-WebSocket-Protocol
    std::string_view extensions;  // Sec-WebSocket-Extensions
};

struct KoWebSocketAcceptance {
    int status = 101;  // or the refusal: 400, 405 or 426
    std::string accept;
    std::string subprotocol;  // empty: none chosen
    std::optional<KoDeflateParameters> deflate;
    const char* refusal = "";  // why, for a refusal's body
};

// Whether the request asks to become a WebSocket at all (Upgrade:
// websocket); anything else is an ordinary request.
bool KoAsksForWebSocket(std::string_view upgrade);

// offeredProtocols: the route's subprotocols, best first; offerDeflate:
// whether the route agrees to permessage-deflate.
KoWebSocketAcceptance KoAcceptWebSocket(const KoWebSocketRequest& request,
                                        const std::vector<std::string>& offeredProtocols, bool offerDeflate);

// The Sec-WebSocket-Accept value for a client's key.
std::string KoWebSocketAcceptKey(std::string_view key);
