// Application: HostEntry, the description of one host to serve (address,
// port, protocol code, key map) and, once started, its registered client.
// A plain record; copied freely; not synchronised.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "message/protocols.h"

class KoTransceiverClient;

struct HostEntry {
    std::string address;
    std::uint32_t port = 0;
    std::uint32_t protocolCode = protocol::HTTPS;
    std::map<std::string, std::string> keys;
    std::shared_ptr<KoTransceiverClient> client;
};
