// KoXServerHeader: the description of one server that the application
// builds and the protocol layers read: its settings ("tcp_port",
// "tcp_address", "cacertificate", "privatekey", ...) in `entries`.
// Entries are filled before the server starts; afterwards they are read
// only through Lookup, which takes the header's mutex and may be called
// from any thread. Nothing here throws beyond std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "message/protocols.h"
#include "message/x_header.h"

class KoXServerHeader : public KoXHeader {
public:
    KoXServerHeader(std::int32_t protocolCode, bool active);

    // A copy of the value under key, or fallback when the key is absent.
    std::string Lookup(const std::string& key, const std::string& fallback);

    const bool active;
    std::shared_ptr<void> attachment;
    KoStringMap entries;
};
