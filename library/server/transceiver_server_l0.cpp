#include "server/transceiver_server_l0.h"

bool KoTransceiverServerL0::receive(KoJobMessage& message) {
    switch (message.code) {
        case 2:
            if (!listening) alive = false;
            return true;
        case 8:
            deliver(message.text);
            return true;
        default:
            return KoTransceiverServer::receive(message);
    }
}

bool KoTransceiverServerL0::start() { return false; }
