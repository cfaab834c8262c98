#include "websocket/handshake.h"

#include "foundation/base64.h"
#include "foundation/text_utils.h"
#include "net/digest.h"

namespace {

// Whether a comma-separated list holds token (any case).
bool ListHolds(std::string_view list, std::string_view token) {
    while (true) {
        const std::size_t comma = list.find(',');
        if (sameLetters(trimBlanks(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

KoWebSocketAcceptance Refused(int status, const char* why) {
    KoWebSocketAcceptance refusal;
    refusal.status = status;
    refusal.refusal = why;
    return refusal;
}

}  // namespace

bool KoAsksForWebSocket(std::string_view upgrade) { return ListHolds(upgrade, "websocket"); }

std::string KoWebSocketAcceptKey(std::string_view key) {
    static constexpr std::string_view guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string joined(trimBlanks(key));
    joined += guid;
    return base64Encode(sha1Digest(joined));
}

KoWebSocketAcceptance KoAcceptWebSocket(const KoWebSocketRequest& request,
                                        const std::vector<std::string>& offeredProtocols, bool offerDeflate) {
    if (request.method != "GET") return Refused(405, "a WebSocket opens with GET");
    if (request.version != "HTTP/1.1" && request.version != "HTTP/2") return Refused(400, "a WebSocket needs HTTP/1.1");
    if (!KoAsksForWebSocket(request.upgrade) || !ListHolds(request.connection, "upgrade")) {
        return Refused(400, "not a WebSocket upgrade");
    }
    if (trimBlanks(request.webSocketVersion) != "13") return Refused(426, "this server speaks WebSocket version 13");
    const auto key = base64Decode(trimBlanks(request.key));
    if (!key || key->size() != 16) return Refused(400, "Sec-WebSocket-Key is not 16 bytes in base64");

    KoWebSocketAcceptance accepted;
    accepted.accept = KoWebSocketAcceptKey(request.key);
    // The client's order of preference decides among what the route offers.
    std::string_view protocols = request.protocols;
    while (!protocols.empty() && accepted.subprotocol.empty()) {
        const std::size_t comma = protocols.find(',');
        const std::string_view wanted = trimBlanks(protocols.substr(0, comma));
        for (const std::string& offered : offeredProtocols) {
            if (offered == wanted) accepted.subprotocol = offered;
        }
        protocols = comma == std::string_view::npos ? std::string_view{} : protocols.substr(comma + 1);
    }
    if (offerDeflate) accepted.deflate = choosePerMessageDeflate(request.extensions);
    return accepted;
}
