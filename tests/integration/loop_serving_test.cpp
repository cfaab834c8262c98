// Serving on the event loops, end to end over plain HTTP: connections spread
// over the loops, answers from elsewhere (CGI) reaching their own
// connection, back-pressure against a client that sends without reading,
// the end of a client's input, deadlines on every loop, the access log, no
// state left behind by connections that are gone, and room made for new
// clients when descriptors run out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jobs/job.h"
#include "message/transceiver.h"
#include "platform/open_file.h"
#include "platform/process_limits.h"
#include "process_probe.h"
#include "site_fixture.h"

using namespace site_fixture;
using namespace process_probe;
using namespace std::chrono_literals;

namespace {

// The highest descriptor number in use.
int HighestDescriptor() {
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    return highest;
}

std::string Request(const std::string& target, const std::string& fields = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + fields + "\r\n";
}

class LoopServing : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        WriteFile(root + "index.html", "<html>home</html>");
        for (int i = 0; i < 4; ++i) WriteFile(root + "f" + std::to_string(i), "file" + std::to_string(i));
        WriteFile(root + "cgi-bin/echo.sh",
                  "#!/bin/sh\nsleep 0.1\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$QUERY_STRING\"\n", true);
    }

    void StartLoops(std::size_t loops, const std::function<void(KoApplicationSettings&)>& adjust = {}) {
        Start([&](KoApplicationSettings& settings) {
            settings.transceiver.loops = loops;
            if (adjust) adjust(settings);
        });
    }

    KoTransceiver& Engine() { return static_cast<ServerHandle*>(handle)->application->transceiver(); }

    // A kept connection that has had one answer.
    std::unique_ptr<RawHttpClient> Resting() {
        auto client = std::make_unique<RawHttpClient>(port);
        EXPECT_TRUE(client->connected());
        client->send(Request("/index.html"));
        EXPECT_EQ(BodyOf(client->takeAnswer(3000ms)), "<html>home</html>");
        return client;
    }
};

}  // namespace

TEST_F(LoopServing, ConnectionsSpreadOverTheLoops) {
    StartLoops(2);
    ASSERT_EQ(Engine().LoopCount(), 2u);
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(Resting());
    const auto perLoop = Engine().ConnectionsPerLoop();
    ASSERT_EQ(perLoop.size(), 2u);
    EXPECT_EQ(perLoop[0] + perLoop[1], 20u);
    // A burst of clients does not all land on the loop that happened to wake.
    EXPECT_GE(std::min(perLoop[0], perLoop[1]), 8u) << perLoop[0] << " / " << perLoop[1];
    // Each keeps being served, in turns across the loops.
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const std::string file = "f" + std::to_string((i + round) % 4);
            clients[i]->send(Request("/" + file));
            EXPECT_EQ(BodyOf(clients[i]->takeAnswer(3000ms)), "file" + std::to_string((i + round) % 4));
        }
    }
}

TEST_F(LoopServing, CgiAnswersReachTheirOwnConnectionsInOrder) {
    StartLoops(2);
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    for (int i = 0; i < 12; ++i) {
        clients.push_back(std::make_unique<RawHttpClient>(port));
        ASSERT_TRUE(clients.back()->connected());
    }
    // All at once: the runs end in any order on other threads; each answer
    // must come back to its own connection, ahead of the request behind it.
    for (std::size_t i = 0; i < clients.size(); ++i)
        clients[i]->send(Request("/cgi-bin/echo.sh?n=" + std::to_string(i)) + Request("/f1"));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const std::string first = clients[i]->takeAnswer(10000ms);
        EXPECT_EQ(StatusLineOf(first), "HTTP/1.1 200 OK") << i;
        EXPECT_EQ(BodyOf(first), "n=" + std::to_string(i));
        EXPECT_EQ(BodyOf(clients[i]->takeAnswer(5000ms)), "file1") << i;
    }
}

// One client sent 50,000 pipelined requests and never read: the server read
// them all, answered all at once with a file held open per queued answer
// (descriptors 15 -> 14,213, RSS +140 MB) and served nobody else meanwhile.
TEST_F(LoopServing, AClientThatPipelinesWithoutReadingHoldsBoundedResources) {
    StartLoops(1);
    Resting();  // the files are open once, before the counts are taken
    for (int i = 0; i < 4; ++i) EXPECT_EQ(BodyOf(Get("/f" + std::to_string(i))), "file" + std::to_string(i));
    const std::size_t descriptorsBefore = OpenDescriptors();
    [[maybe_unused]] const std::size_t residentBefore = ResidentKiB();

    constexpr int count = 10000;
    std::string flood;
    for (int i = 0; i < count; ++i) flood += Request("/f" + std::to_string(i % 4));
    RawHttpClient greedy(port);
    ASSERT_TRUE(greedy.connected());
    platform::setNonBlocking(greedy.descriptor(), true);
    std::size_t sent = 0;
    const auto pushSome = [&] {
        while (sent < flood.size()) {
            auto wrote = platform::sendSome(greedy.descriptor(), flood.data() + sent, flood.size() - sent);
            if (!wrote.error.ok()) break;
            sent += wrote.bytes;
        }
    };
    // Sends until the server stops taking requests.
    for (int i = 0; i < 50 && sent < flood.size(); ++i) {
        pushSome();
        std::this_thread::sleep_for(20ms);
    }
    // The server answers others meanwhile, and holds no descriptor or
    // memory for the requests it has not taken up.
    RawHttpClient other(port);
    other.send(Request("/index.html"));
    EXPECT_EQ(BodyOf(other.takeAnswer(2000ms)), "<html>home</html>");
    // The two clients and their ends in the server.
    EXPECT_LE(OpenDescriptors(), descriptorsBefore + 4);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // (A sanitizer's allocator keeps what is freed for a while.)
    EXPECT_LE(ResidentKiB(), residentBefore + 8 * 1024);
#endif

    // Once the client reads, every answer comes, in the order asked.
    std::vector<std::string> bodies;
    std::string received;
    const auto until = std::chrono::steady_clock::now() + 60s;
    char buffer[65536];
    while (bodies.size() < static_cast<std::size_t>(count) && std::chrono::steady_clock::now() < until) {
        pushSome();
        const int fd = greedy.descriptor();
        const auto ready = platform::waitDescriptor(fd, platform::readable, 50);
        if (!ready.ok() || ready.value() == 0) continue;
        auto got = platform::receiveSome(fd, buffer, sizeof buffer);
        if (!got.error.ok() || got.bytes == 0) break;
        received.append(buffer, got.bytes);
        for (;;) {
            const std::size_t end = received.find("\r\n\r\n");
            if (end == std::string::npos) break;
            const std::size_t field = received.find("Content-Length: ");
            const std::size_t length = std::stoul(received.substr(field + 16));
            if (received.size() < end + 4 + length) break;
            bodies.push_back(received.substr(end + 4, length));
            received.erase(0, end + 4 + length);
        }
    }
    ASSERT_EQ(bodies.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(bodies[i], "file" + std::to_string(i % 4)) << i;
}

// A client that sent a whole request and then shut its sending side got
// nothing when the end of its input followed the request closely: the end
// of input dropped the connection before the request was answered.
TEST_F(LoopServing, AClientThatFinishesSendingGetsItsAnswersThenTheEnd) {
    StartLoops(2);
    for (int i = 0; i < 50; ++i) {
        RawHttpClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(Request("/index.html") + Request("/f2"));
        client.finishSending();
        EXPECT_EQ(BodyOf(client.takeAnswer(3000ms)), "<html>home</html>") << i;
        EXPECT_EQ(BodyOf(client.takeAnswer(3000ms)), "file2") << i;
        EXPECT_TRUE(client.readUntilClosed(3000ms)) << i;
    }
    // A request cut off by the end of input can never be complete.
    RawHttpClient cut(port);
    cut.send("GET /index.html HTTP/1.1\r\nHost:");
    cut.finishSending();
    EXPECT_TRUE(cut.readUntilClosed(3000ms));
    EXPECT_EQ(cut.received(), "");
    // A script's answer still comes after the end of input.
    RawHttpClient script(port);
    script.send(Request("/cgi-bin/echo.sh?late"));
    script.finishSending();
    EXPECT_EQ(BodyOf(script.takeAnswer(10000ms)), "late");
    EXPECT_TRUE(script.readUntilClosed(3000ms));
}

TEST_F(LoopServing, DeadlinesFireOnEveryLoop) {
    StartLoops(2, [](KoApplicationSettings& settings) {
        settings.http.headerDeadline = 300ms;
        settings.http.bodyProgressDeadline = 300ms;
        settings.transceiver.connectionTimeout = 700ms;
    });
    std::vector<std::unique_ptr<RawHttpClient>> slowHeaders, slowBodies, idle;
    for (int i = 0; i < 6; ++i) {
        slowHeaders.push_back(std::make_unique<RawHttpClient>(port));
        slowHeaders.back()->send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n");
        slowBodies.push_back(std::make_unique<RawHttpClient>(port));
        slowBodies.back()->send("POST /index.html HTTP/1.1\r\nHost: localhost\r\nContent-Length: 10\r\n\r\nabc");
        idle.push_back(Resting());
    }
    const auto perLoop = Engine().ConnectionsPerLoop();
    EXPECT_GT(perLoop[0], 0u);
    EXPECT_GT(perLoop[1], 0u);
    for (auto& client : slowHeaders) {
        EXPECT_EQ(StatusLineOf(client->takeAnswer(3000ms)), "HTTP/1.1 408 Request Timeout");
        EXPECT_TRUE(client->readUntilClosed(2000ms));
    }
    for (auto& client : slowBodies) {
        EXPECT_EQ(StatusLineOf(client->takeAnswer(3000ms)), "HTTP/1.1 408 Request Timeout");
        EXPECT_TRUE(client->readUntilClosed(2000ms));
    }
    for (auto& client : idle) EXPECT_TRUE(client->readUntilClosed(3000ms));
    EXPECT_TRUE(Eventually([&] { return Engine().ConnectionCount() == 0; }));
}

TEST_F(LoopServing, TheAccessLogHasOneLinePerAnswerAndLosesNoneAtStop) {
    testing::internal::CaptureStdout();
    StartLoops(2);
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    for (int c = 0; c < 4; ++c) clients.push_back(std::make_unique<RawHttpClient>(port));
    for (int n = 0; n < 25; ++n) {
        for (int c = 0; c < 4; ++c) clients[c]->send(Request("/index.html?c=" + std::to_string(c) + "&n=" + std::to_string(n)));
    }
    for (int n = 0; n < 25; ++n)
        for (auto& client : clients) EXPECT_FALSE(client->takeAnswer(3000ms).empty());
    // A refusal is an answer too.
    EXPECT_NE(Exchange("BROKEN\r\n\r\n").find("HTTP/1.1 400"), std::string::npos);
    // Stopped at once: the lines of the last pass are written as the loops end.
    StopHTTPserver(handle);
    handle = nullptr;
    const std::string log = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = log.substr(at, end - at);
        if (line.find(" --> ") != std::string::npos) lines.push_back(line);
    }
    EXPECT_EQ(lines.size(), 101u);
    // One connection's lines keep their order.
    for (int c = 0; c < 4; ++c) {
        int expected = 0;
        const std::string tag = "?c=" + std::to_string(c) + "&n=";
        for (const auto& line : lines) {
            const std::size_t found = line.find(tag);
            if (found == std::string::npos) continue;
            EXPECT_EQ(std::stoi(line.substr(found + tag.size())), expected) << line;
            ++expected;
        }
        EXPECT_EQ(expected, 25);
    }
}

// The HTTP layer kept an entry per connection it had ever served (it erased
// the entry of the connection a code-1 message named by the wrong field),
// and scanned them all every second: memory grew with every connection.
TEST_F(LoopServing, ConnectionsThatAreGoneLeaveNothingBehind) {
    StartLoops(2);
    Resting();  // the loops run and their caches are filled
    ASSERT_TRUE(Eventually([&] { return Engine().ConnectionCount() == 0; }));
    const long jobsBefore = KoJob::liveCount();
    for (int batch = 0; batch < 20; ++batch) {
        std::vector<std::unique_ptr<RawHttpClient>> clients;
        for (int i = 0; i < 50; ++i) {
            clients.push_back(std::make_unique<RawHttpClient>(port));
            // Some say nothing at all, some one request.
            if (i % 5 != 0) clients.back()->send(Request("/f" + std::to_string(i % 4)));
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (i % 5 != 0) {
                EXPECT_FALSE(clients[i]->takeAnswer(3000ms).empty());
            }
        }
    }
    // The server notices every end.
    ASSERT_TRUE(Eventually([&] { return Engine().ConnectionCount() == 0; }, 10000ms))
        << Engine().ConnectionCount() << " connections left";
    EXPECT_EQ(Engine().NamedConnectionCount(), 0u);
    for (const auto& state : Engine().LoopStates()) {
        EXPECT_EQ(state.connections, 0u);
        EXPECT_EQ(state.armedTimers, 0u);
        EXPECT_EQ(state.resting, 0u);
        // The wake-up and the listening socket.
        EXPECT_EQ(state.watched, 2u);
    }
    // A job of the resting client may still be on its way out when counted first.
    EXPECT_LE(KoJob::liveCount(), jobsBefore);
}

// With the descriptors of the process nearly all taken by idle keep-alive
// connections, every new client failed: accept kept failing while the idle
// connections stayed.
TEST_F(LoopServing, WhenDescriptorsRunOutIdleConnectionsMakeRoom) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers open descriptors of their own";
#endif
    StartLoops(1);
    std::vector<std::unique_ptr<RawHttpClient>> idle;
    for (int i = 0; i < 40; ++i) idle.push_back(Resting());
    // The newcomer's socket is made first; then no new descriptor can be
    // made, and the server's accept of it fails for want of one.
    platform::ResolveHints hints;
    hints.numericHost = true;
    const auto where = platform::resolveStream("127.0.0.1", std::to_string(port), hints).entries.at(0);
    auto opened = platform::openSocket(where.family, where.type, where.protocol);
    ASSERT_TRUE(opened.ok());
    platform::Descriptor newcomer = std::move(opened.value());
    const std::size_t limit = platform::descriptorLimit();
    ASSERT_TRUE(platform::setDescriptorLimit(static_cast<std::size_t>(HighestDescriptor()) + 1));
    // Numbers freed below the limit are taken too.
    std::vector<platform::Descriptor> fillers;
    for (;;) {
        auto filler = platform::openForReading("/dev/null");
        if (!filler.ok()) break;
        fillers.push_back(std::move(filler.value()));
    }
    const bool connected = platform::connectSocket(newcomer.get(), where.address).ok();
    const std::string request = Request("/index.html", "Connection: close\r\n");
    if (connected) platform::sendSome(newcomer.get(), request.data(), request.size());
    std::string answer;
    char buffer[4096];
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (connected && std::chrono::steady_clock::now() < until) {
        const auto ready = platform::waitDescriptor(newcomer.get(), platform::readable, 50);
        if (!ready.ok() || ready.value() == 0) continue;
        const auto got = platform::receiveSome(newcomer.get(), buffer, sizeof buffer);
        if (!got.error.ok() || got.bytes == 0) break;
        answer.append(buffer, got.bytes);
    }
    fillers.clear();
    platform::setDescriptorLimit(limit);
    ASSERT_TRUE(connected);
    EXPECT_EQ(BodyOf(answer), "<html>home</html>");
    // The room came from the longest idle.
    std::size_t closed = 0;
    for (auto& client : idle) closed += client->readUntilClosed(50ms) ? 1 : 0;
    EXPECT_GT(closed, 0u);
    EXPECT_LT(closed, idle.size());
    EXPECT_TRUE(idle.front()->closed());
}

TEST_F(LoopServing, AChangedFileIsServedNewWithinASecond) {
    StartLoops(1);
    auto client = Resting();
    client->send(Request("/f1"));
    EXPECT_EQ(BodyOf(client->takeAnswer(3000ms)), "file1");
    WriteFile(root + "f1", "changed, and longer");
    const auto written = std::chrono::steady_clock::now();
    std::string body;
    while (std::chrono::steady_clock::now() - written < 2s) {
        client->send(Request("/f1"));
        body = BodyOf(client->takeAnswer(3000ms));
        if (body != "file1") break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(body, "changed, and longer");
    EXPECT_LT(std::chrono::steady_clock::now() - written, 1s);
    // A large file goes out whole from its descriptor.
    std::string large(3 * 1024 * 1024, 'x');
    for (std::size_t i = 0; i < large.size(); i += 4096) large[i] = static_cast<char>('a' + (i / 4096) % 26);
    WriteFile(root + "large.bin", large);
    client->send(Request("/large.bin"));
    EXPECT_EQ(BodyOf(client->takeAnswer(10000ms)), large);
}
