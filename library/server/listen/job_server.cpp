#include "server/listen/job_server.h"

bool KoTransceiverServerL0::receive(KoJobMessage& message) {
    switch (message.code) {
        case job_code::stop:
            if (!listening) alive = false;
            return true;
        case job_code::inputArrived:
            deliver(message.text);
            return true;
        default:
            return KoTransceiverServer::receive(message);
    }
}

bool KoTransceiverServerL0::start() { return false; }
