// The answer the HTTP layer tests give every request: 200 "done", written
// through the layer that serves the request's connection.
#pragma once

#include <memory>

#include "message/response_header.h"
#include "message/transceiver.h"
#include "message/x_header.h"
#include "server/connection/http_layer.h"

namespace server_test {

inline int AnswerDone(KoTransceiver& transceiver, const std::shared_ptr<KoXHeader>& request) {
    auto layer = std::dynamic_pointer_cast<KoTransceiverServerL1HTTP>(transceiver.FindServer(request->serverName));
    if (!layer) return 1;
    auto response = request->MakeAnswer();
    response->statusCode = 200;
    response->Input().sputn("done", 4);
    response->setState(header_state::Complete);
    layer->writeMessage(request->connectionName, response);
    return 1;
}

}  // namespace server_test
