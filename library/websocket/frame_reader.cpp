#include "websocket/frame_reader.h"

#include <algorithm>

namespace {

bool IsControl(KoWebSocketOpcode opcode) { return (static_cast<std::uint8_t>(opcode) & 0x8) != 0; }

bool IsKnown(std::uint8_t opcode) {
    switch (static_cast<KoWebSocketOpcode>(opcode)) {
        case KoWebSocketOpcode::continuation:
        case KoWebSocketOpcode::text:
        case KoWebSocketOpcode::binary:
        case KoWebSocketOpcode::close:
        case KoWebSocketOpcode::ping:
        case KoWebSocketOpcode::pong:
            return true;
    }
    return false;
}

}  // namespace

KoWebSocketReader::Event KoWebSocketReader::fail(std::uint16_t code, const char* reason) {
    done_ = true;
    failureCode_ = code;
    failureReason_ = reason;
    return Event::failed;
}

KoWebSocketReader::Event KoWebSocketReader::next(std::string_view& input) {
    if (done_) return failureCode_ != 0 ? Event::failed : Event::close;
    while (true) {
        if (!inPayload_) {
            while (headerHave_ < headerNeed_) {
                if (input.empty()) return Event::needMore;
                header_[headerHave_++] = static_cast<unsigned char>(input.front());
                input.remove_prefix(1);
                if (headerHave_ == 2) {
                    const std::uint8_t length = header_[1] & 0x7F;
                    headerNeed_ = 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + ((header_[1] & 0x80) ? 4 : 0);
                }
            }
            const Event event = frameHeaderRead();
            if (event != Event::needMore) return event;
            if (payloadLeft_ == 0) {
                const Event ended = frameEnded();
                if (ended != Event::needMore) return ended;
                continue;
            }
        }
        if (input.empty()) return Event::needMore;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, input.size()));
        std::string& into = IsControl(frameOpcode_) ? control_ : message_;
        const std::size_t start = into.size();
        into.append(input.data(), take);
        for (std::size_t i = start; i < into.size(); ++i, ++payloadAt_) into[i] = static_cast<char>(into[i] ^ mask_[payloadAt_ % 4]);
        input.remove_prefix(take);
        payloadLeft_ -= take;
        if (!IsControl(frameOpcode_) && messageOpcode_ == KoWebSocketOpcode::text && !compressedMessage_ &&
            !utf8_.feed(std::string_view(into).substr(start))) {
            return fail(websocket_close::invalidPayload, "text that is not UTF-8");
        }
        if (payloadLeft_ != 0) return Event::needMore;
        const Event ended = frameEnded();
        if (ended != Event::needMore) return ended;
    }
}

KoWebSocketReader::Event KoWebSocketReader::frameHeaderRead() {
    const std::uint8_t first = header_[0];
    fin_ = (first & 0x80) != 0;
    compressedFrame_ = (first & 0x40) != 0;
    if ((first & 0x30) != 0) return fail(websocket_close::protocolError, "reserved bits set");
    if (!IsKnown(first & 0x0F)) return fail(websocket_close::protocolError, "unknown opcode");
    frameOpcode_ = static_cast<KoWebSocketOpcode>(first & 0x0F);
    if ((header_[1] & 0x80) == 0) return fail(websocket_close::protocolError, "unmasked client frame");
    const std::uint8_t shortLength = header_[1] & 0x7F;
    std::size_t at = 2;
    std::uint64_t length = shortLength;
    if (shortLength == 126) {
        length = (std::uint64_t{header_[2]} << 8) | header_[3];
        at = 4;
        if (length < 126) return fail(websocket_close::protocolError, "length not in its shortest form");
    } else if (shortLength == 127) {
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | header_[2 + i];
        at = 10;
        if ((length >> 63) != 0) return fail(websocket_close::protocolError, "length with its top bit set");
        if (length <= 0xFFFF) return fail(websocket_close::protocolError, "length not in its shortest form");
    }
    for (int i = 0; i < 4; ++i) mask_[i] = header_[at + i];

    if (IsControl(frameOpcode_)) {
        if (!fin_) return fail(websocket_close::protocolError, "fragmented control frame");
        if (length > webSocketControlLimit) return fail(websocket_close::protocolError, "control frame too long");
        if (compressedFrame_) return fail(websocket_close::protocolError, "compressed control frame");
        control_.clear();
    } else if (frameOpcode_ == KoWebSocketOpcode::continuation) {
        if (!inMessage_) return fail(websocket_close::protocolError, "continuation without a message");
        if (compressedFrame_) return fail(websocket_close::protocolError, "RSV1 on a continuation frame");
    } else {
        if (inMessage_) return fail(websocket_close::protocolError, "new message inside a fragmented one");
        if (compressedFrame_ && inflater_ == nullptr) return fail(websocket_close::protocolError, "RSV1 without deflate");
        inMessage_ = true;
        compressedMessage_ = compressedFrame_;
        messageOpcode_ = frameOpcode_;
        message_.clear();
        utf8_.reset();
    }
    if (!IsControl(frameOpcode_) && length > maxMessage_ - std::min<std::uint64_t>(maxMessage_, message_.size())) {
        return fail(websocket_close::messageTooBig, "message above the limit");
    }
    payloadLeft_ = length;
    payloadAt_ = 0;
    inPayload_ = true;
    return Event::needMore;
}

KoWebSocketReader::Event KoWebSocketReader::frameEnded() {
    inPayload_ = false;
    headerHave_ = 0;
    headerNeed_ = 2;
    switch (frameOpcode_) {
        case KoWebSocketOpcode::ping:
        case KoWebSocketOpcode::pong:
            opcode_ = frameOpcode_;
            payload_ = std::move(control_);
            control_.clear();
            return frameOpcode_ == KoWebSocketOpcode::ping ? Event::ping : Event::pong;
        case KoWebSocketOpcode::close: {
            done_ = true;
            opcode_ = frameOpcode_;
            if (control_.empty()) {
                closeCode_ = websocket_close::noStatus;
                return Event::close;
            }
            if (control_.size() == 1) return fail(websocket_close::protocolError, "close payload of one byte");
            closeCode_ = static_cast<std::uint16_t>((static_cast<std::uint8_t>(control_[0]) << 8) |
                                                    static_cast<std::uint8_t>(control_[1]));
            if (!KoIsSendableCloseCode(closeCode_)) return fail(websocket_close::protocolError, "invalid close code");
            KoUtf8Validator reason;
            closeReason_ = control_.substr(2);
            if (!reason.feed(closeReason_) || !reason.complete()) {
                return fail(websocket_close::invalidPayload, "close reason that is not UTF-8");
            }
            return Event::close;
        }
        default:
            break;
    }
    if (!fin_) return Event::needMore;
    inMessage_ = false;
    opcode_ = messageOpcode_;
    if (compressedMessage_) {
        std::string inflated;
        switch (inflater_->decompress(message_, maxMessage_, inflated)) {
            case KoInflater::Outcome::tooLarge:
                return fail(websocket_close::messageTooBig, "message above the limit once inflated");
            case KoInflater::Outcome::corrupt:
                return fail(websocket_close::protocolError, "deflate data that cannot be read");
            case KoInflater::Outcome::done:
                break;
        }
        message_.swap(inflated);
        if (messageOpcode_ == KoWebSocketOpcode::text) {
            utf8_.reset();
            if (!utf8_.feed(message_)) return fail(websocket_close::invalidPayload, "text that is not UTF-8");
        }
    }
    if (messageOpcode_ == KoWebSocketOpcode::text && !utf8_.complete()) {
        return fail(websocket_close::invalidPayload, "text that ends inside a character");
    }
    payload_ = std::move(message_);
    message_.clear();
    return Event::message;
}
