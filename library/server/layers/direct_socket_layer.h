// Server stack: KoTransceiverServerL1DirectSocket, the layer that passes raw
// bytes without any framing (protocol code 9). Every delivery of input
// becomes one message (KoXHeader, code 9, kind request when listening,
// answer when connecting) whose body holds all bytes the connection had
// received, handed to the request sink (the client). writeMessage sends a
// message's body unchanged and reports it as a kind-6 event with the
// message's description values, "ID" and "bytes".
//
// Ownership: connections belong to the transceiver; messages are shared
// with the sink. Threads: processInput runs on the server's worker,
// writeMessage on any thread (the connection is looked up under
// deliveryLock). Nothing here throws; a sink's exception is written to
// standard error by the worker.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/listen/socket_server.h"

class KoTransceiverServerL1DirectSocket : public KoTransceiverServerL0Socket {
public:
    // Given the server's registration name and a message; its result is not
    // examined beyond acceptance.
    using RequestSink = std::function<int(const std::string& source, std::shared_ptr<KoXHeader> message)>;

    KoTransceiverServerL1DirectSocket(KoKessaScheduler2& scheduler, KoTransceiver& transceiver, std::string clientId,
                                      std::string serverId, std::string connectionTag,
                                      std::shared_ptr<KoXServerHeader> header, KoServerCallback callback,
                                      RequestSink sink, KoServerSettings settings = {}, bool listening = true);
    ~KoTransceiverServerL1DirectSocket() override;

    void processInput(const std::string& connection, const std::string& client) override;
    // False when the server no longer lives; true otherwise (also when the
    // connection has gone meanwhile: nothing is sent then).
    bool writeMessage(const std::string& connection, std::shared_ptr<KoXHeader> message) override;

private:
    RequestSink sink;
};
