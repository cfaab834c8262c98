#include "websocket/frame.h"

bool KoIsSendableCloseCode(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

void appendWebSocketFrame(std::string& out, KoWebSocketOpcode opcode, std::string_view payload, bool fin,
                          bool compressed, const KoWebSocketMask* mask) {
    const std::uint64_t length = payload.size();
    out.reserve(out.size() + 14 + payload.size());
    out += static_cast<char>((fin ? 0x80 : 0) | (compressed ? 0x40 : 0) | static_cast<std::uint8_t>(opcode));
    const std::uint8_t maskBit = mask != nullptr ? 0x80 : 0;
    if (length < 126) {
        out += static_cast<char>(maskBit | length);
    } else if (length <= 0xFFFF) {
        out += static_cast<char>(maskBit | 126);
        out += static_cast<char>(length >> 8);
        out += static_cast<char>(length & 0xFF);
    } else {
        out += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>((length >> shift) & 0xFF);
    }
    if (mask == nullptr) {
        out.append(payload);
        return;
    }
    for (const std::uint8_t byte : *mask) out += static_cast<char>(byte);
    for (std::size_t i = 0; i < payload.size(); ++i) out += static_cast<char>(payload[i] ^ (*mask)[i % 4]);
}

std::string webSocketClosePayload(std::uint16_t code, std::string_view reason) {
    std::string payload;
    payload += static_cast<char>(code >> 8);
    payload += static_cast<char>(code & 0xFF);
    std::size_t keep = reason.size() > webSocketControlLimit - 2 ? webSocketControlLimit - 2 : reason.size();
    // Never cut a character in two: back up over continuation bytes.
    if (keep < reason.size()) {
        while (keep > 0 && (static_cast<std::uint8_t>(reason[keep]) & 0xC0) == 0x80) --keep;
    }
    payload.append(reason.substr(0, keep));
    return payload;
}
