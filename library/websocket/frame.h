// WebSocket: the frame vocabulary shared by the reader and the writer -
// opcodes, close status codes, and how a frame is written.
//
// Frames the server writes are never masked; a client's frames always are
// (the reader refuses the others). Plain functions: any thread.
// May use: foundation.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

enum class KoWebSocketOpcode : std::uint8_t {
    continuation = 0x0,
    text = 0x1,
    binary = 0x2,
    close = 0x8,
    ping = 0x9,
    pong = 0xA,
};

// Close status codes the server sends or must recognise.
namespace websocket_close {
constexpr std::uint16_t normal = 1000;
constexpr std::uint16_t goingAway = 1001;
constexpr std::uint16_t protocolError = 1002;
constexpr std::uint16_t unsupportedData = 1003;
constexpr std::uint16_t noStatus = 1005;          // never on the wire
constexpr std::uint16_t invalidPayload = 1007;    // text that is not UTF-8
constexpr std::uint16_t policyViolation = 1008;
constexpr std::uint16_t messageTooBig = 1009;
constexpr std::uint16_t internalError = 1011;
}  // namespace websocket_close

// Whether a peer may send code in a close frame (1000-1003, 1007-1014,
// 3000-4999).
bool KoIsSendableCloseCode(std::uint16_t code);

// A control frame carries at most this many payload bytes.
constexpr std::size_t webSocketControlLimit = 125;

using KoWebSocketMask = std::array<std::uint8_t, 4>;

// Appends one frame. compressed sets RSV1 (the first frame of a message
// compressed by permessage-deflate); mask is for a client's frames only.
void appendWebSocketFrame(std::string& out, KoWebSocketOpcode opcode, std::string_view payload, bool fin = true,
                          bool compressed = false, const KoWebSocketMask* mask = nullptr);

// The payload of a close frame: the code in network order, then the reason
// (cut to fit a control frame at a character boundary).
std::string webSocketClosePayload(std::uint16_t code, std::string_view reason);
