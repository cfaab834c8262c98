// WebSocket: KoWebSocketReader, the server's incremental reader of what a
// client sends - frames in, whole messages and control frames out.
//
// Fed whatever bytes arrived (any split), next() takes what it can and says
// which event it completed, or needMore. Fragments are joined into one
// message; control frames may come between them. Everything the protocol
// forbids fails the connection with the close code to send: an unmasked
// frame, reserved bits or opcodes, a fragmented or oversized control frame,
// a continuation with no message or a new message inside one, a bad close
// payload (1002); text that is not UTF-8 (1007, at the first bad byte); a
// message above the limit, compressed or not (1009). After failed or close,
// the reader takes no more.
//
// Threads: one connection's thread at a time. Never throws but bad_alloc.
// May use: foundation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "websocket/frame.h"
#include "websocket/permessage_deflate.h"
#include "websocket/utf8_validator.h"

class KoWebSocketReader {
public:
    enum class Event { needMore, message, ping, pong, close, failed };

    // inflater: the connection's, when permessage-deflate was agreed (it must
    // outlive the reader); null otherwise, and then RSV1 is refused.
    explicit KoWebSocketReader(std::size_t maxMessage, KoInflater* inflater = nullptr)
        : maxMessage_(maxMessage), inflater_(inflater) {}

    // Takes bytes from the front of input (removing what it used) up to the
    // end of the next event.
    Event next(std::string_view& input);

    // After message: text or binary. After message, ping or pong: the payload
    // (taken with takePayload).
    KoWebSocketOpcode opcode() const { return opcode_; }
    std::string takePayload() { return std::move(payload_); }
    // After close: the peer's code (1005 when it sent none) and reason.
    std::uint16_t closeCode() const { return closeCode_; }
    const std::string& closeReason() const { return closeReason_; }
    // After failed: the code to close with, and why (for a diagnostic).
    std::uint16_t failureCode() const { return failureCode_; }
    const char* failureReason() const { return failureReason_; }

private:
    Event fail(std::uint16_t code, const char* reason);
    Event frameHeaderRead();
    Event frameEnded();

    const std::size_t maxMessage_;
    KoInflater* const inflater_;

    // The frame being read.
    unsigned char header_[14] = {};
    std::size_t headerHave_ = 0;
    std::size_t headerNeed_ = 2;
    bool inPayload_ = false;
    bool fin_ = false;
    bool compressedFrame_ = false;
    KoWebSocketOpcode frameOpcode_ = KoWebSocketOpcode::continuation;
    std::uint64_t payloadLeft_ = 0;
    std::uint64_t payloadAt_ = 0;
    KoWebSocketMask mask_{};

    // The message being joined.
    bool inMessage_ = false;
    bool compressedMessage_ = false;
    KoWebSocketOpcode messageOpcode_ = KoWebSocketOpcode::text;
    std::string message_;
    KoUtf8Validator utf8_;

    std::string control_;
    KoWebSocketOpcode opcode_ = KoWebSocketOpcode::text;
    std::string payload_;
    std::uint16_t closeCode_ = websocket_close::noStatus;
    std::string closeReason_;
    std::uint16_t failureCode_ = 0;
    const char* failureReason_ = "";
    bool done_ = false;
};
