#include "websocket/websocket_session.h"

#include <utility>

KoWebSocketFrame makeSharedFrame(KoWebSocketOpcode opcode, std::string_view payload) {
    auto frame = std::make_shared<std::string>();
    appendWebSocketFrame(*frame, opcode, payload);
    return frame;
}

namespace {

std::unique_ptr<KoInflater> InflaterFor(const std::optional<KoDeflateParameters>& deflate) {
    if (!deflate) return nullptr;
    return std::make_unique<KoInflater>(deflate->clientMaxWindowBits, deflate->clientNoContextTakeover);
}

}  // namespace

KoWebSocketSession::KoWebSocketSession(Events& events, KoWebSocketSettings settings,
                                       std::optional<KoDeflateParameters> deflate)
    : events_(events),
      settings_(settings),
      inflater_(InflaterFor(deflate)),
      deflater_(deflate ? std::make_unique<KoDeflater>(deflate->serverMaxWindowBits, deflate->serverNoContextTakeover)
                        : nullptr),
      reader_(settings.maxMessage, inflater_.get()) {}

bool KoWebSocketSession::receive(std::string_view bytes) {
    while (!closeReceived_ && !failed_) {
        switch (reader_.next(bytes)) {
            case KoWebSocketReader::Event::needMore:
                return true;
            case KoWebSocketReader::Event::message:
                // After our close, the client's last messages are dropped.
                if (!closeSent_) events_.message(reader_.opcode(), reader_.takePayload());
                break;
            case KoWebSocketReader::Event::ping:
                if (!closeSent_) queue(makeSharedFrame(KoWebSocketOpcode::pong, reader_.takePayload()), true);
                break;
            case KoWebSocketReader::Event::pong:
                reader_.takePayload();
                break;
            case KoWebSocketReader::Event::close: {
                closeReceived_ = true;
                const std::uint16_t code = reader_.closeCode();
                events_.closing(code, reader_.closeReason());
                // The reply carries the client's code back (none for none).
                if (!closeSent_) {
                    closeSent_ = true;
                    const std::string payload =
                        code == websocket_close::noStatus ? std::string() : webSocketClosePayload(code, "");
                    queue(makeSharedFrame(KoWebSocketOpcode::close, payload), true);
                }
                return false;
            }
            case KoWebSocketReader::Event::failed:
                failed_ = true;
                events_.closing(reader_.failureCode(), reader_.failureReason());
                if (!closeSent_) {
                    closeSent_ = true;
                    queue(makeSharedFrame(KoWebSocketOpcode::close,
                                          webSocketClosePayload(reader_.failureCode(), reader_.failureReason())),
                          true);
                }
                return false;
        }
    }
    return false;
}

KoWebSocketSession::Sent KoWebSocketSession::queue(KoWebSocketFrame frame, bool control) {
    // Control frames are small and must go out: they pass the bound.
    if (!control && queued_ + frame->size() > settings_.maxQueued) {
        if (settings_.closeWhenFull && !closeSent_) {
            failed_ = true;
            events_.closing(websocket_close::policyViolation, "the client does not read");
            close(websocket_close::policyViolation, "the client does not read");
        }
        return Sent::full;
    }
    queued_ += frame->size();
    output_.push_back(std::move(frame));
    return Sent::queued;
}

KoWebSocketSession::Sent KoWebSocketSession::send(KoWebSocketOpcode opcode, std::string_view payload) {
    if (closeSent_) return Sent::closed;
    auto frame = std::make_shared<std::string>();
    if (deflater_ && payload.size() > settings_.compressAbove) {
        appendWebSocketFrame(*frame, opcode, deflater_->compress(payload), true, true);
    } else {
        appendWebSocketFrame(*frame, opcode, payload);
    }
    return queue(std::move(frame), false);
}

KoWebSocketSession::Sent KoWebSocketSession::sendShared(const KoWebSocketFrame& frame) {
    if (closeSent_) return Sent::closed;
    return queue(frame, false);
}

void KoWebSocketSession::ping(std::string_view payload) {
    if (closeSent_) return;
    queue(makeSharedFrame(KoWebSocketOpcode::ping, payload.substr(0, webSocketControlLimit)), true);
}

void KoWebSocketSession::close(std::uint16_t code, std::string_view reason) {
    if (closeSent_) return;
    closeSent_ = true;
    queue(makeSharedFrame(KoWebSocketOpcode::close, webSocketClosePayload(code, reason)), true);
}

std::string_view KoWebSocketSession::front() const {
    if (output_.empty()) return {};
    return std::string_view(*output_.front()).substr(headSent_);
}

KoWebSocketFrame KoWebSocketSession::frontFrame() const {
    if (output_.empty() || headSent_ != 0) return nullptr;
    return output_.front();
}

void KoWebSocketSession::sent(std::size_t bytes) {
    queued_ -= bytes < queued_ ? bytes : queued_;
    while (bytes > 0 && !output_.empty()) {
        const std::size_t left = output_.front()->size() - headSent_;
        if (bytes < left) {
            headSent_ += bytes;
            return;
        }
        bytes -= left;
        headSent_ = 0;
        output_.pop_front();
    }
}
