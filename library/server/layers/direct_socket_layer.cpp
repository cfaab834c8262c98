#include "server/layers/direct_socket_layer.h"

#include <mutex>
#include <utility>

#include "message/http_tables.h"
#include "message/protocols.h"
#include "message/transceiver.h"
#include "message/x_header.h"

KoTransceiverServerL1DirectSocket::KoTransceiverServerL1DirectSocket(
    KoKessaScheduler2& scheduler_, KoTransceiver& transceiver_, std::string clientId_, std::string serverId_,
    std::string connectionTag_, std::shared_ptr<KoXServerHeader> header_, KoServerCallback callback_,
    RequestSink sink_, KoServerSettings settings_, bool listening_)
    : KoTransceiverServerL0Socket(scheduler_, transceiver_, std::move(clientId_), std::move(serverId_),
                                  std::move(connectionTag_), std::move(header_), std::move(callback_),
                                  protocol::DirectSocket, listening_, settings_),
      sink(std::move(sink_)) {}

KoTransceiverServerL1DirectSocket::~KoTransceiverServerL1DirectSocket() {
    withdraw();
    KoTransceiverServerL0Socket::endJobs();
}

void KoTransceiverServerL1DirectSocket::processInput(const std::string& connectionName, const std::string&) {
    KoTransceiver* target = AttachedTransceiver();
    if (target == nullptr || !sink) return;
    auto connection = target->FindConnection(connectionName);
    if (!connection) return;
    std::string bytes;
    connection->TakeInput(bytes);
    // A delivery whose bytes an earlier one already took carries nothing.
    if (bytes.empty()) return;

    auto message = std::make_shared<KoXHeader>(method_code::NONE, false, protocol::DirectSocket);
    message->messageKind.store(listening ? message_kind::Request : message_kind::Answer);
    message->AppendInput(bytes);
    message->connectionName = connectionName;
    message->serverName = name;
    message->description = connection->recordValues();
    sink(serverId, std::move(message));
}

bool KoTransceiverServerL1DirectSocket::writeMessage(const std::string& connectionName,
                                                     std::shared_ptr<KoXHeader> message) {
    if (!message) return false;
    touch();
    const std::string group = message->currentJoinedTask();
    if (!alive) {
        message->leaveJoinedTask(group);
        return false;
    }
    const std::string body = message->Body();
    KoServerCallback_t event;
    bool sent = false;
    {
        std::lock_guard<KoDeliveryLock> lock(deliveryLock);
        auto connection = transceiver == nullptr ? nullptr : transceiver->FindConnection(connectionName);
        if (connection) {
            event.kind = server_event::rawBytesSent;
            event.values = message->description;
            event.values["ID"] = name;
            event.values["bytes"] = std::to_string(body.size());
            std::size_t accepted = 0;
            connection->QueueBytes(body.data(), body.size(), accepted);
            transceiver->WakeSender();
            sent = true;
        }
    }
    if (sent) report(event);
    message->leaveJoinedTask(group);
    return true;
}
