#include "host/websocket_route.h"

#include <algorithm>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "host/host_handler.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"
#include "websocket/handshake.h"

namespace {

// Every value of a field, joined as one list.
std::string Joined(const KoXHeader& request, const std::string& name) {
    auto it = request.fields.find(name);
    if (it == request.fields.end()) return std::string();
    std::string joined;
    for (const std::string& value : it->second) {
        if (!joined.empty()) joined += ", ";
        joined += value;
    }
    return joined;
}

std::string VersionOf(const KoXHeader& request) {
    auto first = request.fields.find(":first:");
    return first != request.fields.end() && first->second.size() >= 3 ? first->second[2] : std::string();
}

std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void Refuse(KoXResponseHeader& response, std::int32_t status, std::vector<std::string> lines = {}) {
    KoClearAnswer(response);
    response.statusCode = status;
    KoSetTextBody(response);
    if (!lines.empty()) {
        lines.insert(lines.begin(), std::string("Content-Type: ") + kPlainTextType);
        response.fields[kCgiLinesField] = std::move(lines);
        response.fields.erase("content-type");
    }
}

class HostWebSocket final : public velko::WebSocket {
public:
    HostWebSocket(std::shared_ptr<KoWebSocketPeer> peer_, velko::Request request_, std::string subprotocol_)
        : peer(std::move(peer_)), opening(std::move(request_)), chosen(std::move(subprotocol_)) {}

    bool sendText(const std::string& text) override {
        return peer->send(KoWebSocketOpcode::text, text) == KoWebSocketPeer::Sent::queued;
    }
    bool sendBinary(const std::string& bytes) override {
        return peer->send(KoWebSocketOpcode::binary, bytes) == KoWebSocketPeer::Sent::queued;
    }
    void close(int code, const std::string& reason) override {
        const bool sendable = code >= 1000 && code <= 4999 && KoIsSendableCloseCode(static_cast<std::uint16_t>(code));
        peer->close(sendable ? static_cast<std::uint16_t>(code) : websocket_close::normal, reason);
    }
    bool isOpen() const override { return peer->open(); }
    const velko::Request& request() const override { return opening; }
    const std::string& subprotocol() const override { return chosen; }
    std::size_t queuedBytes() const override { return peer->queued(); }

private:
    const std::shared_ptr<KoWebSocketPeer> peer;
    const velko::Request opening;
    const std::string chosen;
};

// What the loop reports, turned into the host's callbacks on its queue.
class HostEvents final : public KoWebSocketPeer::Listener {
public:
    HostEvents(std::shared_ptr<HostWebSocket> socket_, std::shared_ptr<KoWebSocketPeer> peer_,
               std::shared_ptr<const velko::WebSocketHandlers> handlers_, std::shared_ptr<KoLiveChannels> live_,
               std::string group_)
        : socket(std::move(socket_)),
          peer(std::move(peer_)),
          handlers(std::move(handlers_)),
          live(live_),
          group(std::move(group_)),
          sequence(std::move(live_)) {}

    void opened() override {
        live->join(group, peer);
        if (!handlers->onOpen) return;
        call("onOpen", [](const std::shared_ptr<HostWebSocket>& socket, const velko::WebSocketHandlers& handlers) {
            handlers.onOpen(socket);
        });
    }
    void message(std::string&& payload, bool binary) override {
        const std::size_t size = payload.size();
        if (!handlers->onMessage) {
            peer->consumed(size);
            return;
        }
        auto peerHeld = peer;
        call("onMessage", [peerHeld, size, binary, text = std::move(payload)](
                              const std::shared_ptr<HostWebSocket>& socket, const velko::WebSocketHandlers& handlers) {
            // Taken, whatever the handler does with it.
            struct Consumed {
                KoWebSocketPeer& peer;
                std::size_t size;
                ~Consumed() { peer.consumed(size); }
            } consumed{*peerHeld, size};
            handlers.onMessage(socket, text, binary);
        });
    }
    void closed(std::uint16_t code, const std::string& reason) override {
        if (!handlers->onClose) return;
        call("onClose", [code, reason](const std::shared_ptr<HostWebSocket>& socket,
                                       const velko::WebSocketHandlers& handlers) {
            handlers.onClose(socket, code, reason);
        });
    }

private:
    using Callback = std::function<void(const std::shared_ptr<HostWebSocket>&, const velko::WebSocketHandlers&)>;
    // The callback holds what it uses: it may run after the loop let go.
    void call(const char* what, Callback callback) {
        auto socketHeld = socket;
        auto handlersHeld = handlers;
        sequence.post([socketHeld, handlersHeld, what, callback = std::move(callback)] {
            try {
                callback(socketHeld, *handlersHeld);
            } catch (const std::exception& error) {
                diagnostic(std::string("WebSocket ") + what + " for " + escapeForLog(socketHeld->request().path) +
                           " failed: " + escapeForLog(error.what()));
            } catch (...) {
                diagnostic(std::string("WebSocket ") + what + " for " + escapeForLog(socketHeld->request().path) +
                           " failed");
            }
        });
    }

    const std::shared_ptr<HostWebSocket> socket;
    const std::shared_ptr<KoWebSocketPeer> peer;
    const std::shared_ptr<const velko::WebSocketHandlers> handlers;
    const std::shared_ptr<KoLiveChannels> live;
    const std::string group;
    KoCallbackSequence sequence;
};

}  // namespace

bool KoWebSocketOriginAllowed(const std::string& origin, const std::string& host, const std::string& scheme,
                              const std::vector<std::string>& allowed) {
    const std::string_view trimmed = trimBlanks(origin);
    if (trimmed.empty()) return true;
    const std::string page = Lowered(trimmed);
    for (const std::string& one : allowed) {
        if (one == "*" || Lowered(trimBlanks(one)) == page) return true;
    }
    if (!allowed.empty()) return false;
    // The server's own site: the same scheme, host and port.
    return page == scheme + "://" + Lowered(trimBlanks(host));
}

KoWebSocketRoute::KoWebSocketRoute(std::string path_, velko::WebSocketHandlers handlers_,
                                   velko::WebSocketOptions options_, std::shared_ptr<KoLiveChannels> live_)
    : path(std::move(path_)),
      handlers(std::make_shared<const velko::WebSocketHandlers>(std::move(handlers_))),
      options(std::move(options_)),
      live(std::move(live_)) {}

void KoWebSocketRoute::message(KoXHeader& request, KoXResponseHeader& response, const std::string&) {
    const std::string upgrade = Joined(request, "upgrade");
    if (!KoAsksForWebSocket(upgrade) || request.methodCode.load() != method_code::GET) {
        Refuse(response, 426, {"Upgrade: websocket", "Connection: Upgrade"});
        return;
    }
    const std::string version = VersionOf(request);
    const std::string connection = Joined(request, "connection");
    const std::string webSocketVersion = Joined(request, "sec-websocket-version");
    const std::string key = Joined(request, "sec-websocket-key");
    const std::string protocols = Joined(request, "sec-websocket-protocol");
    const std::string extensions = Joined(request, "sec-websocket-extensions");
    const KoWebSocketRequest asked{"GET", version, upgrade, connection, webSocketVersion, key, protocols, extensions};
    KoWebSocketAcceptance accepted = KoAcceptWebSocket(asked, options.subprotocols, options.permessageDeflate);
    if (accepted.status == 426) {
        Refuse(response, 426, {"Sec-WebSocket-Version: 13"});
        return;
    }
    if (accepted.status != 101) {
        Refuse(response, accepted.status == 405 ? 405 : 400);
        return;
    }
    velko::Request host = KoHostRequestOf(request, std::string());
    bool admitted = false;
    try {
        const std::string scheme = request.ProtocolCode() == protocol::HTTPS ? "https" : "http";
        admitted = options.acceptOrigin
                       ? options.acceptOrigin(host)
                       : KoWebSocketOriginAllowed(host.field("origin"), host.field("host"), scheme, options.origins);
    } catch (const std::exception& error) {
        diagnostic("WebSocket origin check for " + escapeForLog(path) + " failed: " + escapeForLog(error.what()));
    } catch (...) {
        diagnostic("WebSocket origin check for " + escapeForLog(path) + " failed");
    }
    if (!admitted) {
        Refuse(response, 403);
        return;
    }

    KoWebSocketProtocolSettings settings;
    settings.session.maxMessage = options.maxMessage;
    settings.session.maxQueued = options.maxQueued;
    settings.session.closeWhenFull = options.closeWhenFull;
    settings.deflate = accepted.deflate;
    settings.pingInterval = options.pingInterval;
    auto peer = std::make_shared<KoWebSocketPeer>(options.maxQueued, options.closeWhenFull,
                                                  std::max<std::size_t>(options.maxMessage, 1024 * 1024));
    auto socket = std::make_shared<HostWebSocket>(peer, std::move(host), accepted.subprotocol);
    auto events = std::make_shared<HostEvents>(socket, peer, handlers, live, options.group.empty() ? path : options.group);

    KoClearAnswer(response);
    response.statusCode = 101;
    std::vector<std::string> lines = {"Upgrade: websocket", "Connection: Upgrade",
                                      "Sec-WebSocket-Accept: " + accepted.accept};
    if (!accepted.subprotocol.empty()) lines.push_back("Sec-WebSocket-Protocol: " + accepted.subprotocol);
    if (accepted.deflate) lines.push_back("Sec-WebSocket-Extensions: " + accepted.deflate->responseValue());
    response.fields[kCgiLinesField] = std::move(lines);
    response.protocolAfter = [settings, peer, events]() -> std::unique_ptr<KoConnectionProtocol> {
        return std::make_unique<KoWebSocketProtocol>(settings, peer, events);
    };
}
