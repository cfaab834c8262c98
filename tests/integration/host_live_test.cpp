// Live channels of the host interface end to end: WebSockets spoken to by
// Python's websockets package and by hand-written frames, Server-Sent
// Events and streamed answers read by curl.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_seen.h"
#include "host_shell.h"

namespace {

using namespace std::chrono_literals;
using host_shell::Directory;
using host_shell::Quoted;
using host_seen::Seen;

// Debian's, which python3-websockets belongs to.
constexpr const char* kPython = "/usr/bin/python3";

class HostLive : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        if (Directory::Run(std::string(kPython) + " -c 'import websockets'") != 0) {
            GTEST_SKIP() << "python3-websockets is not installed";
        }
    }

    // A server with the test's routes: an echo, a small one, floods, events
    // and streamed answers.
    void Start(bool https) {
        velko::ServerOptions options;
        options.https = https;
        if (https) {
            options.certificate = dir.file("cacert.pem");
            options.key = dir.file("privkey.pem");
        }
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::toCallback([this](const std::string& line) { log.add(line); });
        server = std::make_unique<velko::Server>(options);
        const std::string port = std::to_string(server->port());
        wsBase = std::string(https ? "wss" : "ws") + "://localhost:" + port;
        httpBase = std::string(https ? "https" : "http") + "://localhost:" + port;

        velko::WebSocketHandlers echo;
        echo.onOpen = [this](const velko::WebSocketPtr& socket) {
            {
                std::lock_guard<std::mutex> guard(socketsLock);
                sockets.push_back(socket);
            }
            seen.add("open:" + socket->request().path);
        };
        echo.onMessage = [](const velko::WebSocketPtr& socket, const std::string& message, bool binary) {
            binary ? socket->sendBinary(message) : socket->sendText(message);
        };
        echo.onClose = [this](const velko::WebSocketPtr& socket, int code, const std::string& reason) {
            seen.add("close:" + socket->request().path + ":" + std::to_string(code) + ":" + reason);
        };
        velko::WebSocketOptions echoOptions;
        echoOptions.subprotocols = {"echo"};
        server->webSocket("/ws", echo, echoOptions);
        velko::WebSocketOptions small;
        small.maxMessage = 1024;
        server->webSocket("/ws/small", echo, small);
        velko::WebSocketOptions flood;
        flood.maxQueued = 256 * 1024;
        server->webSocket("/ws/flood", echo, flood);
        flood.closeWhenFull = true;
        server->webSocket("/ws/flood-close", echo, flood);
    }

    std::string Client(const std::string& path, const std::string& scenario, const std::string& more = "") {
        return Directory::Capture(std::string(kPython) + " " + Quoted(VELKO_WEBSOCKET_CLIENT) + " " + Quoted(wsBase + path) + " " +
                                      scenario + " " + Quoted(dir.file("cacert.pem")) + " " + more,
                                  90)
            .output;
    }

    // Over HTTP/1.1: the checks read its framing (curl would choose HTTP/2).
    host_shell::Result Curl(const std::string& arguments) {
        return Directory::Capture("curl -sS --http1.1 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) +
                                  " " + arguments);
    }

    // The host's handle of the WebSocket opened last on path.
    velko::WebSocketPtr OpenedOn(const std::string& path) {
        std::lock_guard<std::mutex> guard(socketsLock);
        for (auto it = sockets.rbegin(); it != sockets.rend(); ++it) {
            if ((*it)->request().path == path) return *it;
        }
        return nullptr;
    }

    Directory dir;
    Seen seen;
    Seen log;
    std::mutex socketsLock;
    std::vector<velko::WebSocketPtr> sockets;
    std::unique_ptr<velko::Server> server;
    std::string wsBase;
    std::string httpBase;
};

struct WebSocketCase {
    const char* name;
    bool https;
    const char* path;
    const char* scenario;
    std::vector<std::string> expected;  // lines the client prints, in order
    const char* hostClose;              // the close the host is told of, or ""
};

TEST_F(HostLive, WebSocketExchangesWithRealClients) {
    const std::vector<WebSocketCase> cases = {
        {"text and binary echo", false, "/ws", "echo",
         {"subprotocol:echo", "text:hello", "binary:0001ff", "closed:4000"}, "close:/ws:4000:bye"},
        {"over TLS", true, "/ws", "echo", {"subprotocol:echo", "text:hello", "binary:0001ff", "closed:4000"},
         "close:/ws:4000:bye"},
        {"fragmented message", false, "/ws", "fragmented", {"text:fragmented", "closed:4000"}, "close:/ws:4000:bye"},
        {"ping answered", false, "/ws", "ping", {"pong", "closed:4000"}, "close:/ws:4000:bye"},
        {"permessage-deflate", true, "/ws", "deflate",
         {"text:hello", "binary:0001ff", "deflate:permessage-deflate:True", "closed:4000"}, "close:/ws:4000:bye"},
        {"invalid UTF-8", false, "/ws", "badutf8", {"status:101", "close:1007"}, "close:/ws:1007:"},
        {"unmasked frame", true, "/ws", "unmasked", {"status:101", "close:1002"}, ""},
        {"message over the limit", false, "/ws/small", "oversize", {"status:101", "close:1009"}, ""},
        {"page of another site", false, "/ws", "origin", {"status:403"}, ""},
        {"plain GET", true, "/ws", "plain", {"status:426", "upgrade:websocket"}, ""},
        {"broken key", false, "/ws", "badkey", {"status:400"}, ""},
    };
    for (bool https : {false, true}) {
        server.reset();
        Start(https);
        for (const WebSocketCase& row : cases) {
            if (row.https != https) continue;
            SCOPED_TRACE(row.name);
            const std::string out = Client(row.path, row.scenario);
            std::size_t at = 0;
            for (const std::string& line : row.expected) {
                const std::size_t found = out.find(line + "\n", at);
                ASSERT_NE(found, std::string::npos) << line << " missing in:\n" << out;
                at = found + line.size();
            }
            if (*row.hostClose != 0) {
                EXPECT_TRUE(seen.waitFor(row.hostClose)) << seen.all();
            }
        }
    }
    // The failures' codes reached the host too, and each 101 has its log line.
    EXPECT_TRUE(seen.waitFor("close:/ws/small:1009:")) << seen.all();
    EXPECT_TRUE(seen.waitFor("close:/ws:1002:")) << seen.all();
    EXPECT_NE(log.all().find("\"GET /ws\" --> 101 "), std::string::npos) << log.all();
}

TEST_F(HostLive, AClientThatDoesNotReadFillsTheBoundedQueue) {
    Start(false);
    for (const std::string path : {"/ws/flood", "/ws/flood-close"}) {
        SCOPED_TRACE(path);
        const std::string release = dir.file(path == "/ws/flood" ? "release-flood" : "release-flood-close");
        std::string out;
        std::thread client([&] { out = Client(path, "noread", "1 " + Quoted(release)); });
        // The client goes however the test ends.
        struct Release {
            std::string file;
            std::thread& client;
            ~Release() {
                host_shell::WriteFile(file, "go");
                if (client.joinable()) client.join();
            }
        } released{release, client};
        ASSERT_TRUE(seen.waitFor("open:" + path));
        velko::WebSocketPtr socket = OpenedOn(path);
        ASSERT_TRUE(socket);
        const std::string piece(64 * 1024, 'x');
        int sent = 0;
        bool refused = false;
        // Bounded: the kernel's buffers take some megabytes, the queue 256 KiB.
        for (int i = 0; i < 4000 && !refused; ++i) {
            if (socket->sendBinary(piece)) {
                ++sent;
            } else {
                refused = true;
            }
        }
        EXPECT_TRUE(refused) << "sent " << sent;
        // The bound and one piece past it, each queued frame with its header
        // (at most 14 bytes; five frames of 64 KiB fit).
        EXPECT_LE(socket->queuedBytes(), 256u * 1024 + 64 * 1024 + 5 * 14);
        if (path == "/ws/flood-close") {
            EXPECT_TRUE(seen.waitFor("close:/ws/flood-close:1008:the client does not read")) << seen.all();
            EXPECT_FALSE(socket->isOpen());
        } else {
            EXPECT_TRUE(socket->isOpen());
        }
        host_shell::WriteFile(release, "go");
        client.join();
        EXPECT_NE(out.find("waiting"), std::string::npos) << out;
        // Sending after the client went reports failure, safely.
        EXPECT_TRUE(seen.waitFor("close:" + path + ":")) << seen.all();
        EXPECT_FALSE(socket->sendText("late"));
    }
}

TEST_F(HostLive, ABroadcastReachesEveryOpenWebSocketOfItsGroup) {
    Start(true);
    constexpr int clients = 5;
    std::string out;
    std::thread client([&] { out = Client("/ws", "broadcast", std::to_string(clients)); });
    const bool opened = seen.waitFor("open:/ws", clients);
    // Without it the clients give up on their own.
    const std::size_t reached = opened ? server->broadcast("/ws", "tick") : 0;
    client.join();
    ASSERT_TRUE(opened) << seen.all() << out;
    EXPECT_EQ(reached, static_cast<std::size_t>(clients));
    EXPECT_NE(out.find("reached:5\n"), std::string::npos) << out;
    EXPECT_EQ(server->broadcast("/nobody", "tick"), 0u);
}

TEST_F(HostLive, EventStreamsArriveInOrderAndTheHostLearnsOfTheClientsLeaving) {
    Start(true);
    velko::EventStreamHandlers handlers;
    handlers.onOpen = [this](const velko::EventStreamPtr& stream) {
        seen.add("open:" + stream->lastEventId());
        stream->send("one", "", "1");
        stream->send("two\nlines", "note", "2");
        stream->send("three", "", "3");
    };
    handlers.onClose = [this](const velko::EventStreamPtr& stream) {
        seen.add("gone:" + stream->lastEventId());
        EXPECT_FALSE(stream->send("late"));
    };
    velko::EventStreamOptions options;
    options.heartbeat = 200ms;
    server->events("/events", handlers, options);

    // sed leaves after the last event; curl learns of it at the next
    // heartbeat and goes, which ends the stream.
    const auto events = Curl("-N -i -H 'Last-Event-ID: 41' " + Quoted(httpBase + "/events") + " | sed '/^data: three/q'");
    EXPECT_NE(events.output.find("Content-Type: text/event-stream"), std::string::npos) << events.output;
    EXPECT_NE(events.output.find("Cache-Control: no-store"), std::string::npos) << events.output;
    EXPECT_NE(events.output.find("Transfer-Encoding: chunked"), std::string::npos) << events.output;
    EXPECT_NE(events.output.find("id: 1\ndata: one\n\nevent: note\nid: 2\ndata: two\ndata: lines\n\nid: 3\ndata: three"),
              std::string::npos)
        << events.output;
    EXPECT_TRUE(seen.waitFor("open:41")) << seen.all();
    EXPECT_TRUE(seen.waitFor("gone:41")) << seen.all();

    const auto beat = Curl("-N " + Quoted(httpBase + "/events") + " | sed '/^:/q'");
    EXPECT_NE(beat.output.find("data: three\n\n:\n"), std::string::npos) << beat.output;
    EXPECT_TRUE(seen.waitFor("gone:", 1)) << seen.all();
}

// At stop an open event stream ends whole: its last chunk leaves before the
// loops end, so curl sees a complete body (a cut one exits with 18).
TEST_F(HostLive, AnEventStreamOpenAtStopEndsWithItsLastChunk) {
    Start(false);
    velko::EventStreamHandlers handlers;
    handlers.onOpen = [this](const velko::EventStreamPtr& stream) {
        stream->send("first");
        seen.add("open");
    };
    server->events("/events", handlers, {});
    host_shell::Result events;
    std::thread client([&] { events = Curl("--raw -N " + Quoted(httpBase + "/events")); });
    ASSERT_TRUE(seen.waitFor("open")) << seen.all();
    server->stop();
    client.join();
    EXPECT_EQ(events.status, 0) << events.output;
    EXPECT_NE(events.output.find("data: first"), std::string::npos) << events.output;
    EXPECT_TRUE(events.output.ends_with("\r\n0\r\n\r\n")) << events.output;
}

TEST_F(HostLive, StreamedAnswersAreChunkedOrCarryTheirLength) {
    Start(true);
    const auto pieces = [](int count, long long announce) {
        return velko::Answer::stream(
            [count](velko::BodyWriter& body) {
                for (int i = 0; i < count; ++i) {
                    if (!body.write(std::string(1000, static_cast<char>('a' + i % 26)))) return;
                }
            },
            "text/plain", announce);
    };
    server->on("GET", "/stream", [&](const velko::Request&) { return pieces(300, -1); });
    server->on("GET", "/stream/length", [&](const velko::Request&) { return pieces(5, 5000); });
    server->on("GET", "/stream/short", [&](const velko::Request&) { return pieces(2, 5000); });
    server->on("GET", "/stream/throws", [](const velko::Request&) {
        return velko::Answer::stream([](velko::BodyWriter& body) {
            body.write("begun");
            throw std::runtime_error("the source failed");
        });
    });
    struct Row {
        const char* path;
        const char* field;  // a field of the head
        std::size_t bodyBytes;
        bool whole;  // curl saw a complete answer
    };
    const Row rows[] = {
        {"/stream", "Transfer-Encoding: chunked", 300000, true},
        {"/stream/length", "Content-Length: 5000", 5000, true},
        {"/stream/short", "Content-Length: 5000", 2000, false},
        {"/stream/throws", "Transfer-Encoding: chunked", 5, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        const auto head = Curl("-D " + Quoted(dir.file("head.txt")) + " -o " + Quoted(dir.file("body.txt")) + " " +
                               Quoted(httpBase + row.path));
        EXPECT_EQ(head.status == 0, row.whole) << head.output;
        EXPECT_NE(host_shell::ReadFile(dir.file("head.txt")).find(row.field), std::string::npos)
            << host_shell::ReadFile(dir.file("head.txt"));
        const std::string body = host_shell::ReadFile(dir.file("body.txt"));
        EXPECT_EQ(body.size(), row.bodyBytes);
        if (row.whole) {
            // HEAD announces what GET sends, and sends none of it.
            const auto asked = Curl("-I " + Quoted(httpBase + row.path));
            EXPECT_NE(asked.output.find(row.field), std::string::npos) << asked.output;
        }
        if (row.bodyBytes == 300000) {
            EXPECT_EQ(body.substr(0, 3), "aaa");
            EXPECT_EQ(body.substr(299000, 3), std::string(3, static_cast<char>('a' + 299 % 26)));
        }
    }
}

}  // namespace
