#include "server/connection/websocket_protocol.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class FakeChannel final : public KoProtocolChannel {
public:
    void send(std::string bytes) override { written += bytes; }
    void sendShared(std::shared_ptr<const std::string> bytes) override {
        written += *bytes;
        shared.push_back(std::move(bytes));
    }
    std::uint64_t unsent() const override { return 0; }
    void closeWhenSent() override { closing = true; }
    void abort() override { aborted = true; }
    void wake() override { ++wakes; }
    void resumeInput() override { ++resumed; }
    Clock::time_point now() const override { return time; }

    std::string written;
    std::vector<std::shared_ptr<const std::string>> shared;
    bool closing = false;
    bool aborted = false;
    int wakes = 0;
    int resumed = 0;
    Clock::time_point time = Clock::time_point{} + 1h;
};

struct Recorder final : KoWebSocketPeer::Listener {
    void opened() override { seen.push_back("opened"); }
    void message(std::string&& payload, bool binary) override {
        seen.push_back((binary ? "binary:" : "text:") + payload);
    }
    void closed(std::uint16_t code, const std::string& reason) override {
        seen.push_back("closed:" + std::to_string(code) + ":" + reason);
    }
    std::vector<std::string> seen;
};

std::string FromClient(KoWebSocketOpcode opcode, std::string_view payload) {
    static const KoWebSocketMask mask = {9, 8, 7, 6};
    std::string out;
    appendWebSocketFrame(out, opcode, payload, true, false, &mask);
    return out;
}

std::string FromServer(KoWebSocketOpcode opcode, std::string_view payload) {
    std::string out;
    appendWebSocketFrame(out, opcode, payload);
    return out;
}

struct Served {
    explicit Served(std::size_t maxQueued = 1024, bool closeWhenFull = false, std::size_t inputBound = 1 << 20) {
        KoWebSocketProtocolSettings settings;
        settings.pingInterval = 30s;
        settings.closeWait = 5s;
        peer = std::make_shared<KoWebSocketPeer>(maxQueued, closeWhenFull, inputBound);
        listener = std::make_shared<Recorder>();
        protocol = std::make_unique<KoWebSocketProtocol>(settings, peer, listener);
        protocol->started(channel);
    }
    FakeChannel channel;
    std::shared_ptr<KoWebSocketPeer> peer;
    std::shared_ptr<Recorder> listener;
    std::unique_ptr<KoWebSocketProtocol> protocol;
};

TEST(KoWebSocketProtocol, HostSendsGoOutOnTheLoopAndSharedFramesUncopied) {
    Served ws;
    EXPECT_EQ(ws.peer->send(KoWebSocketOpcode::text, "hello"), KoWebSocketPeer::Sent::queued);
    EXPECT_EQ(ws.channel.wakes, 1);
    EXPECT_TRUE(ws.channel.written.empty());  // not before the loop takes it
    const KoWebSocketFrame frame = makeSharedFrame(KoWebSocketOpcode::text, "to all");
    ws.peer->sendShared(frame);
    ws.protocol->woken();
    EXPECT_EQ(ws.channel.written, FromServer(KoWebSocketOpcode::text, "hello") + *frame);
    ASSERT_FALSE(ws.channel.shared.empty());
    EXPECT_EQ(ws.channel.shared.back().get(), frame.get());

    ws.protocol->received(FromClient(KoWebSocketOpcode::binary, "\x01\x02"));
    ws.protocol->received(FromClient(KoWebSocketOpcode::close, webSocketClosePayload(4000, "bye")));
    EXPECT_EQ(ws.listener->seen, (std::vector<std::string>{"opened", "binary:\x01\x02", "closed:4000:bye"}));
    EXPECT_TRUE(ws.channel.closing);
    EXPECT_EQ(ws.peer->send(KoWebSocketOpcode::text, "late"), KoWebSocketPeer::Sent::closed);
    ws.protocol->ended();
    EXPECT_EQ(ws.listener->seen.size(), 3u);  // closed is told once
}

TEST(KoWebSocketProtocol, AFullQueueRefusesOrClosesWithPolicyViolation) {
    for (bool closeWhenFull : {false, true}) {
        SCOPED_TRACE(closeWhenFull);
        Served ws(100, closeWhenFull);
        EXPECT_EQ(ws.peer->send(KoWebSocketOpcode::binary, std::string(60, 'x')), KoWebSocketPeer::Sent::queued);
        EXPECT_EQ(ws.peer->send(KoWebSocketOpcode::binary, std::string(60, 'x')), KoWebSocketPeer::Sent::full);
        ws.protocol->woken();
        EXPECT_EQ(ws.peer->open(), !closeWhenFull);
        const bool told = !ws.listener->seen.empty() && ws.listener->seen.back() == "closed:1008:the client does not read";
        EXPECT_EQ(told, closeWhenFull);
        EXPECT_EQ(ws.channel.written.find(FromServer(KoWebSocketOpcode::close, webSocketClosePayload(1008, "the client does not read"))) !=
                      std::string::npos,
                  closeWhenFull);
    }
}

TEST(KoWebSocketProtocol, ASilentClientIsPingedThenDropped) {
    Served ws;
    EXPECT_EQ(ws.protocol->deadline(), ws.channel.time + 30s);
    ws.channel.time += 30s;
    EXPECT_TRUE(ws.protocol->deadlinePassed());
    EXPECT_EQ(ws.channel.written, FromServer(KoWebSocketOpcode::ping, ""));
    // An answer puts the ping off again; silence past a second wait ends it.
    ws.protocol->received(FromClient(KoWebSocketOpcode::pong, ""));
    EXPECT_EQ(ws.protocol->deadline(), ws.channel.time + 30s);
    ws.channel.time += 30s;
    EXPECT_TRUE(ws.protocol->deadlinePassed());
    EXPECT_EQ(ws.protocol->deadline(), ws.channel.time + 30s);
    EXPECT_FALSE(ws.protocol->deadlinePassed());
}

TEST(KoWebSocketProtocol, InputWaitsWhileTheHostIsBehindWithItsMessages) {
    Served ws(1024, false, 10);
    EXPECT_TRUE(ws.protocol->takesInput());
    ws.protocol->received(FromClient(KoWebSocketOpcode::text, "twelve bytes"));
    EXPECT_FALSE(ws.protocol->takesInput());
    ws.peer->consumed(12);
    EXPECT_EQ(ws.channel.wakes, 1);
    ws.protocol->woken();
    EXPECT_EQ(ws.channel.resumed, 1);
    EXPECT_TRUE(ws.protocol->takesInput());
}

// A stopping server closes each WebSocket and waits, from its own thread,
// until the loop has sent the close and ended the connection on the
// client's answer; a wait while the connection lives runs out.
TEST(KoWebSocketProtocol, AHostThreadWaitsUntilTheLoopEndedTheClosedConnection) {
    Served ws;
    ws.peer->close(1001, "the server stops");
    EXPECT_FALSE(ws.peer->waitEnded(std::chrono::steady_clock::now() + 10ms));
    std::thread loop([&] {
        ws.protocol->woken();
        ws.protocol->received(FromClient(KoWebSocketOpcode::close, webSocketClosePayload(1001, "")));
        if (ws.channel.closing) ws.protocol->ended();
    });
    EXPECT_TRUE(ws.peer->waitEnded(std::chrono::steady_clock::now() + 10s));
    loop.join();
    EXPECT_EQ(ws.channel.written, FromServer(KoWebSocketOpcode::close, webSocketClosePayload(1001, "the server stops")));
}

}  // namespace
