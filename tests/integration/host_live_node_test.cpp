// Live channels' WebSockets end to end with Node's ws package as the
// client, over ws and wss: echoes across the frame length encodings up to
// the message limit, permessage-deflate agreed or not, the client's close,
// and Server::stop with WebSockets open.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host_seen.h"
#include "host_shell.h"

namespace {

using host_seen::Seen;
using host_shell::Directory;
using host_shell::Quoted;

constexpr std::size_t kMessageLimit = 16 * 1024 * 1024;  // WebSocketOptions' default

class HostLiveNode : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        if (Directory::Run("command -v node") != 0) GTEST_SKIP() << "nodejs is not installed";
        if (Directory::Run("NODE_PATH=/usr/share/nodejs node -e 'require(\"ws\")'") != 0) {
            GTEST_SKIP() << "node-ws is not installed";
        }
    }

    // An echo on /ws (deflate as the client offers) and on /ws/nodeflate
    // (never agreed); callbacks after stop are counted as faults.
    void Start(bool https) {
        velko::ServerOptions options;
        options.https = https;
        if (https) {
            options.certificate = dir.file("cacert.pem");
            options.key = dir.file("privkey.pem");
        }
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
        server = std::make_unique<velko::Server>(options);
        wsBase = std::string(https ? "wss" : "ws") + "://localhost:" + std::to_string(server->port());

        velko::WebSocketHandlers echo;
        echo.onOpen = [this](const velko::WebSocketPtr& socket) {
            afterStop += stopped.load();
            seen.add("open:" + socket->request().path);
        };
        echo.onMessage = [this](const velko::WebSocketPtr& socket, const std::string& message, bool binary) {
            afterStop += stopped.load();
            binary ? socket->sendBinary(message) : socket->sendText(message);
        };
        echo.onClose = [this](const velko::WebSocketPtr& socket, int code, const std::string& reason) {
            afterStop += stopped.load();
            seen.add("close:" + socket->request().path + ":" + std::to_string(code) + ":" + reason);
        };
        velko::WebSocketOptions echoOptions;
        // Room for a whole message at the limit on its way back.
        echoOptions.maxQueued = 2 * kMessageLimit;
        server->webSocket("/ws", echo, echoOptions);
        echoOptions.permessageDeflate = false;
        server->webSocket("/ws/nodeflate", echo, echoOptions);
    }

    std::string Client(const std::string& path, const std::string& scenario, std::size_t amount, bool deflate) {
        return Directory::Capture("NODE_PATH=/usr/share/nodejs node " + Quoted(VELKO_WEBSOCKET_CLIENT_NODE) + " " +
                                      Quoted(wsBase + path) + " " + scenario + " " + Quoted(dir.file("cacert.pem")) +
                                      " " + std::to_string(amount) + " " + (deflate ? "deflate" : "plain"),
                                  90)
            .output;
    }

    Directory dir;
    Seen seen;
    // Before the server: its end may still run callbacks that use them.
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};
    std::unique_ptr<velko::Server> server;
    std::string wsBase;
};

struct NodeCase {
    bool https;
    const char* path;
    const char* scenario;  // echo or oversize
    std::size_t size;
    bool deflate;          // the client offers permessage-deflate
    const char* agreed;    // the extension the client reports agreed (echo)
};

// A text and a binary message at each length encoding's edges (7 bits, 16
// bits, 64 bits) and at the limit, each echoed unchanged, the client's close
// reaching onClose with its code and reason; one byte over the limit, also
// when it arrives compressed, closes with 1009.
TEST_F(HostLiveNode, NodeClientsEchoAtEveryLengthEncodingUpToTheLimit) {
    const std::vector<NodeCase> cases = {
        {false, "/ws", "echo", 1, false, "none"},
        {false, "/ws", "echo", 125, false, "none"},
        {false, "/ws", "echo", 126, false, "none"},
        {false, "/ws", "echo", 65535, false, "none"},
        {false, "/ws", "echo", 65536, false, "none"},
        {false, "/ws", "echo", kMessageLimit, false, "none"},
        // One byte over: the server closed the socket with the rest of the
        // message unread, the client's connection was reset and it saw 1006
        // instead of the 1009 sent before.
        {false, "/ws", "oversize", kMessageLimit + 1, false, ""},
        {false, "/ws", "echo", 65536, true, "permessage-deflate"},
        {false, "/ws/nodeflate", "echo", 126, true, "none"},
        {true, "/ws", "echo", 1, false, "none"},
        {true, "/ws", "echo", 125, false, "none"},
        {true, "/ws", "echo", 126, false, "none"},
        {true, "/ws", "echo", 65535, false, "none"},
        {true, "/ws", "echo", 65536, false, "none"},
        {true, "/ws", "echo", kMessageLimit, false, "none"},
        {true, "/ws", "oversize", kMessageLimit + 1, false, ""},
        {true, "/ws", "echo", 125, true, "permessage-deflate"},
        {true, "/ws", "echo", kMessageLimit, true, "permessage-deflate"},
        {true, "/ws", "oversize", kMessageLimit + 1, true, ""},
        {true, "/ws/nodeflate", "echo", 65536, true, "none"},
    };
    for (bool https : {false, true}) {
        server.reset();
        Start(https);
        for (const NodeCase& row : cases) {
            if (row.https != https) continue;
            const std::string size = std::to_string(row.size);
            SCOPED_TRACE(std::string(https ? "wss " : "ws ") + row.path + " " + row.scenario + " " + size +
                         (row.deflate ? " deflate" : ""));
            const bool echo = std::string(row.scenario) == "echo";
            const std::string hostClose = "close:" + std::string(row.path) + (echo ? ":4001:node done" : ":1009:");
            const std::size_t closesBefore = seen.count(hostClose);
            const std::string out = Client(row.path, row.scenario, row.size, row.deflate);
            if (echo) {
                EXPECT_EQ(out, "extensions:" + std::string(row.agreed) + "\ntext:" + size + ":same\nbinary:" + size +
                                   ":same\nclosed:4001\n");
            } else {
                EXPECT_EQ(out, "close:1009\n");
            }
            EXPECT_TRUE(seen.waitFor(hostClose, closesBefore + 1)) << seen.all();
        }
    }
}

// Server::stop with WebSockets open that keep exchanging messages: stop
// returns, each client is told 1001 "going away" in a close frame, and no
// callback of the host runs once stop returned.
TEST_F(HostLiveNode, StopClosesOpenWebSocketsAsGoingAway) {
    constexpr int clients = 3;
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "wss" : "ws");
        server.reset();
        stopped = false;
        Start(https);
        std::string out;
        // permessage-deflate offered over wss only.
        std::thread client([&] { out = Client("/ws", "hold", clients, https); });
        const bool opened = seen.waitFor("open:/ws", seen.count("open:/ws") + clients);
        server->stop();
        stopped = true;
        // Bounded: the client ends when its WebSockets close, or at its own time limit.
        client.join();
        ASSERT_TRUE(opened) << seen.all() << out;
        std::size_t goingAway = 0;
        for (std::size_t at = out.find("closed:1001:the server stops\n"); at != std::string::npos;
             at = out.find("closed:1001:the server stops\n", at + 1)) {
            ++goingAway;
        }
        EXPECT_EQ(goingAway, static_cast<std::size_t>(clients)) << out;
        EXPECT_EQ(out.find("timeout"), std::string::npos) << out;
    }
    EXPECT_EQ(afterStop.load(), 0) << seen.all();
}

}  // namespace
