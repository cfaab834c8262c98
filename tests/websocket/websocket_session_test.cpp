#include "websocket/websocket_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const KoWebSocketMask mask = {1, 2, 3, 4};

std::string FromClient(KoWebSocketOpcode opcode, std::string_view payload, bool compressed = false) {
    std::string out;
    appendWebSocketFrame(out, opcode, payload, true, compressed, &mask);
    return out;
}

struct Recorder final : KoWebSocketSession::Events {
    void message(KoWebSocketOpcode opcode, std::string&& payload) override {
        seen.push_back((opcode == KoWebSocketOpcode::text ? "text:" : "binary:") + payload);
    }
    void closing(std::uint16_t code, const std::string& reason) override {
        seen.push_back("closing:" + std::to_string(code) + ":" + reason);
    }
    std::vector<std::string> seen;
};

// The server's frames as "opcode:payload" (a close's payload as code:reason),
// with RSV1 shown as '+'; all output is taken.
std::vector<std::string> Drain(KoWebSocketSession& session, KoInflater* inflater = nullptr) {
    std::string bytes;
    while (!session.front().empty()) {
        const std::string_view front = session.front();
        bytes.append(front);
        session.sent(front.size());
    }
    std::vector<std::string> frames;
    std::size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const auto first = static_cast<std::uint8_t>(bytes[at]);
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[at + 1]) & 0x80, 0) << "a server frame is never masked";
        std::uint64_t length = static_cast<std::uint8_t>(bytes[at + 1]) & 0x7F;
        at += 2;
        if (length == 126) {
            length = (static_cast<std::uint8_t>(bytes[at]) << 8) | static_cast<std::uint8_t>(bytes[at + 1]);
            at += 2;
        } else if (length == 127) {
            length = 0;
            for (int i = 0; i < 8; ++i) length = (length << 8) | static_cast<std::uint8_t>(bytes[at + i]);
            at += 8;
        }
        std::string payload = bytes.substr(at, length);
        at += length;
        const int opcode = first & 0x0F;
        if ((first & 0x40) != 0 && inflater != nullptr) {
            std::string plain;
            EXPECT_EQ(inflater->decompress(payload, 1 << 24, plain), KoInflater::Outcome::done);
            payload = "+" + plain;
        }
        if (opcode == 0x8 && payload.size() >= 2) {
            payload = std::to_string((static_cast<std::uint8_t>(payload[0]) << 8) | static_cast<std::uint8_t>(payload[1])) +
                      ":" + payload.substr(2);
        }
        frames.push_back(std::to_string(opcode) + ":" + payload);
    }
    EXPECT_EQ(at, bytes.size());
    return frames;
}

using Frames = std::vector<std::string>;

}  // namespace

TEST(KoWebSocketSession, MessagesPingsAndTheCloseHandshake) {
    Recorder host;
    KoWebSocketSession session(host, {}, std::nullopt);
    EXPECT_TRUE(session.receive(FromClient(KoWebSocketOpcode::text, "hi") + FromClient(KoWebSocketOpcode::ping, "p1")));
    EXPECT_EQ(host.seen, Frames{"text:hi"});
    EXPECT_EQ(session.send(KoWebSocketOpcode::binary, "back"), KoWebSocketSession::Sent::queued);
    EXPECT_EQ(Drain(session), (Frames{"10:p1", "2:back"}));  // the pong answers the ping's payload

    // The client closes: its code comes back, and the session is done.
    EXPECT_FALSE(session.receive(FromClient(KoWebSocketOpcode::close, webSocketClosePayload(4001, "bye"))));
    EXPECT_EQ(host.seen.back(), "closing:4001:bye");
    EXPECT_EQ(Drain(session), Frames{"8:4001:"});
    EXPECT_TRUE(session.closed());
    EXPECT_EQ(session.send(KoWebSocketOpcode::text, "late"), KoWebSocketSession::Sent::closed);
}

TEST(KoWebSocketSession, TheServerClosesFirstAndWaitsForTheReply) {
    Recorder host;
    KoWebSocketSession session(host, {}, std::nullopt);
    session.close(1001, "going away");
    EXPECT_FALSE(session.closed());
    EXPECT_EQ(Drain(session), Frames{"8:1001:going away"});
    // What the client sent before it saw our close is not handed on.
    session.receive(FromClient(KoWebSocketOpcode::text, "in flight"));
    session.receive(FromClient(KoWebSocketOpcode::close, webSocketClosePayload(1001, "")));
    EXPECT_EQ(host.seen, Frames{"closing:1001:"});
    EXPECT_TRUE(session.closed());
    EXPECT_TRUE(Drain(session).empty());  // no second close frame
}

TEST(KoWebSocketSession, AProtocolErrorIsAnsweredWithItsCloseCode) {
    const std::pair<std::string, const char*> cases[] = {
        {[] {
             std::string unmasked;
             appendWebSocketFrame(unmasked, KoWebSocketOpcode::text, "x");
             return unmasked;
         }(),
         "8:1002:"},
        {FromClient(KoWebSocketOpcode::text, "\xff"), "8:1007:"},
        {FromClient(KoWebSocketOpcode::binary, std::string(2000, 'b')), "8:1009:"},
    };
    for (const auto& [bytes, closeFrame] : cases) {
        Recorder host;
        KoWebSocketSettings settings;
        settings.maxMessage = 1000;
        KoWebSocketSession session(host, settings, std::nullopt);
        EXPECT_FALSE(session.receive(bytes));
        const Frames frames = Drain(session);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].substr(0, 7), closeFrame);
        EXPECT_TRUE(session.closed());
    }
}

TEST(KoWebSocketSession, AClientThatDoesNotReadMeetsTheBound) {
    Recorder host;
    KoWebSocketSettings settings;
    settings.maxQueued = 1000;
    KoWebSocketSession session(host, settings, std::nullopt);
    EXPECT_EQ(session.send(KoWebSocketOpcode::binary, std::string(600, 'a')), KoWebSocketSession::Sent::queued);
    EXPECT_EQ(session.send(KoWebSocketOpcode::binary, std::string(600, 'b')), KoWebSocketSession::Sent::full);
    EXPECT_LE(session.queuedBytes(), 1000u);
    session.receive(FromClient(KoWebSocketOpcode::ping, "still here"));  // a pong passes the bound
    EXPECT_EQ(Drain(session).size(), 2u);
    EXPECT_EQ(session.queuedBytes(), 0u);

    settings.closeWhenFull = true;
    KoWebSocketSession strict(host, settings, std::nullopt);
    strict.send(KoWebSocketOpcode::binary, std::string(600, 'a'));
    EXPECT_EQ(strict.send(KoWebSocketOpcode::binary, std::string(600, 'b')), KoWebSocketSession::Sent::full);
    EXPECT_EQ(host.seen.back(), "closing:1008:the client does not read");
    EXPECT_EQ(Drain(strict).back(), "8:1008:the client does not read");
    EXPECT_TRUE(strict.closed());
}

TEST(KoWebSocketSession, ABroadcastFrameIsSharedNotCopied) {
    Recorder host;
    KoWebSocketSession first(host, {}, std::nullopt), second(host, {}, std::nullopt);
    const KoWebSocketFrame counter = makeSharedFrame(KoWebSocketOpcode::text, "count=7");
    first.sendShared(counter);
    second.sendShared(counter);
    EXPECT_EQ(counter.use_count(), 3);
    EXPECT_EQ(first.front().data(), second.front().data());  // the same bytes
    EXPECT_EQ(Drain(first), Frames{"1:count=7"});
    EXPECT_EQ(counter.use_count(), 2);
}

TEST(KoWebSocketSession, WithDeflateLargeMessagesGoCompressedBothWays) {
    Recorder host;
    KoDeflateParameters deflate;
    KoWebSocketSession session(host, {}, deflate);
    KoDeflater client(15, false);
    const std::string text(5000, 'z');
    session.receive(FromClient(KoWebSocketOpcode::text, client.compress(text), true));
    ASSERT_EQ(host.seen.size(), 1u);
    EXPECT_EQ(host.seen[0], "text:" + text);
    session.send(KoWebSocketOpcode::text, text);
    session.send(KoWebSocketOpcode::text, "small");  // below the threshold: plain
    KoInflater reader(15, false);
    EXPECT_EQ(Drain(session, &reader), (Frames{"1:+" + text, "1:small"}));
}
