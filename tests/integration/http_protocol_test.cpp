// End to end over loopback, byte by byte on the wire: interim answers,
// deadlines for slow bodies, CGI output limits, connection persistence,
// the exact 404 page, memory while a large file is sent, and traversal
// attempts that aim at a file outside the document root.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "message/response_header.h"
#include "server/routing/router_services.h"
#include "message/body_stream.h"
#include "site_fixture.h"

namespace {

using namespace site_fixture;

class HttpProtocol : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        platform::createDirectory(root + "docs");
        WriteFile(top + "outside.txt", kSecret);
        WriteFile(root + "index.html", "<html>home</html>");
        WriteFile(root + "style.css", "body{}");
        WriteFile(root + "app.js", "let a=1;");
        WriteFile(root + "docs/index.html", "<p>docs</p>");
        WriteFile(root + "cgi-bin/echo.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                  "printf 'len=%s\\n' \"$CONTENT_LENGTH\"\ncat\n",
                  true);
        WriteFile(root + "cgi-bin/flood.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nhead -c 1048576 /dev/zero\n", true);
    }

    static constexpr const char* kSecret = "outside the root";
};

TEST_F(HttpProtocol, ExpectContinueGetsInterimAnswerBeforeTheBody) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
    const std::string interim = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    // Nothing else may come before the body is sent.
    EXPECT_FALSE(client.readUntil([](const std::string& in) { return !in.empty(); }, milliseconds(200)));
    client.send("hello");
    const std::string answer = client.takeAnswer(milliseconds(8000));
    EXPECT_EQ(StatusLineOf(answer).substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_EQ(BodyOf(answer), "len=5\nhello");
}

TEST_F(HttpProtocol, ExpectContinueWithOversizedBodyIsRefusedAtOnce) {
    Start([](KoApplicationSettings& s) { s.http.limits.maxBodySize = 1024; });
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1000000\r\nExpect: 100-continue\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(StatusLineOf(answer).substr(0, 12), "HTTP/1.1 413") << answer;
    EXPECT_EQ(answer.find("100 Continue"), std::string::npos);
    EXPECT_TRUE(client.readUntilClosed(milliseconds(5000)));
}

TEST_F(HttpProtocol, ExpectContinueWithHugeAnnouncedLengthIsRefusedNotFailed) {
    // A length beyond any integer must be a client error, not a server fault.
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 999999999999999999999999\r\n"
                "Expect: 100-continue\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(5000));
    const std::string status = StatusLineOf(answer).substr(0, 10);
    EXPECT_TRUE(status == "HTTP/1.1 4") << answer;
    EXPECT_TRUE(client.readUntilClosed(milliseconds(5000)));
}

TEST_F(HttpProtocol, ExpectContinueFromHttp10GetsNoInterimAnswer) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.0\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_FALSE(client.readUntil([](const std::string& in) { return !in.empty(); }, milliseconds(300)))
        << client.received();
    client.send("ok");
    const std::string answer = client.takeAnswer(milliseconds(8000));
    EXPECT_EQ(StatusLineOf(answer).substr(0, 12), "HTTP/1.1 200") << answer;
    EXPECT_EQ(BodyOf(answer), "len=2\nok");
}

TEST_F(HttpProtocol, StalledBodyClosesTheConnection) {
    Start([](KoApplicationSettings& s) { s.http.bodyProgressDeadline = milliseconds(400); });
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n0123456789");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.readUntilClosed(milliseconds(5000))) << client.received();
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(200));
    EXPECT_EQ(StatusLineOf(client.received()).substr(0, 12), "HTTP/1.1 408") << client.received();
    EXPECT_EQ(client.received().find("len="), std::string::npos);
}

TEST_F(HttpProtocol, BodyThatKeepsComingOutlivesTheProgressDeadline) {
    Start([](KoApplicationSettings& s) { s.http.bodyProgressDeadline = milliseconds(1000); });
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 8\r\n\r\n");
    // Eight bytes over 1.6 seconds: longer than the deadline in total,
    // but never silent for that long.
    for (char c : std::string("12345678")) {
        std::this_thread::sleep_for(milliseconds(200));
        ASSERT_TRUE(client.send(std::string(1, c)));
    }
    const std::string answer = client.takeAnswer(milliseconds(8000));
    EXPECT_EQ(BodyOf(answer), "len=8\n12345678") << client.received();
}

// Output of 64 MB or more was answered 502: the limit now bounds what the
// server holds of a script's body at once, never what a script may send.
TEST_F(HttpProtocol, CgiOutputLimitBoundsWhatIsHeldNotWhatIsSent) {
    Start([](KoApplicationSettings& s) { s.http.cgiOutputLimit = 16 * 1024; });
    KoBodyStream::resetLargestHeld();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/flood.sh HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_TRUE(client.readUntilContains("\r\n0\r\n\r\n", milliseconds(8000))) << client.received().substr(0, 200);
    const std::string flood = client.received();
    EXPECT_EQ(StatusLineOf(flood), "HTTP/1.1 200 OK");
    EXPECT_NE(HeadOf(flood).find("Transfer-Encoding: chunked\r\n"), std::string::npos) << HeadOf(flood);
    EXPECT_GT(flood.size(), 1048576u);
    // The limit and one read of the pipe at most.
    EXPECT_GT(KoBodyStream::largestHeld(), 0u);
    EXPECT_LE(KoBodyStream::largestHeld(), 16u * 1024 + 64 * 1024);
    // The connection goes on.
    client.send("POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\nok");
    ASSERT_TRUE(client.readUntilContains("len=2\nok", milliseconds(8000)));
}

TEST_F(HttpProtocol, Http10WithoutKeepAliveIsClosedAfterItsAnswer) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /style.css HTTP/1.0\r\nHost: localhost\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(answer), "body{}");
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    EXPECT_TRUE(client.readUntilClosed(milliseconds(3000)));
}

TEST_F(HttpProtocol, Http10WithKeepAliveStaysOpen) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /style.css HTTP/1.0\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n");
    const std::string first = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(first), "body{}");
    EXPECT_EQ(first.find("Connection: close"), std::string::npos) << first;
    EXPECT_FALSE(client.readUntilClosed(milliseconds(500)));
    client.send("GET /app.js HTTP/1.0\r\nHost: localhost\r\nConnection: Keep-Alive\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "let a=1;");
    EXPECT_FALSE(client.readUntilClosed(milliseconds(300)));
}

TEST_F(HttpProtocol, ErrorPageBytes) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /nothing.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(5000));
    // Doctype, one element per line, the body's markup and its br on the
    // body's line, no line end after the last tag.
    const std::string page =
        "<!DOCTYPE html>\n"
        "<html>\n"
        "<head>\n"
        "<title>Error 404 - not found</title>\n"
        "</head>\n"
        "<body><h1>Error 404 - not found</h1>The requested page was not found or the project was timed out.<br />\n"
        "<a href=\"/\">Startseite</a>\n"
        "</body>\n"
        "</html>";
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 404 Not Found");
    EXPECT_NE(answer.find("Content-Length: " + std::to_string(page.size()) + "\r\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos) << answer;
    EXPECT_EQ(BodyOf(answer), page);
}

// A size line of /proc/self/status ("VmRSS", "VmHWM"), in KiB.
std::size_t StatusKiB(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) return std::stoul(line.substr(key.size() + 1));
    }
    return 0;
}

TEST_F(HttpProtocol, LargeFileIsSentInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer keeps freed blocks resident (quarantine)";
#endif
    Start();
    const std::uint64_t size = 100ull << 20;
    {
        std::ofstream out(root + "big.bin", std::ios::binary);
        std::string block(1 << 20, 'v');
        for (std::uint64_t written = 0; written < size; written += block.size()) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    {
        // Restart the peak count, where the system allows it.
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
    }
    const std::size_t before = StatusKiB("VmRSS");
    ASSERT_GT(before, 0u);

    platform::ChildOptions curl;
    curl.program = "curl";
    curl.arguments = {"-s", "--max-time", "60", "-o", "/dev/null", "-w", "%{http_code} %{size_download}",
                      "http://127.0.0.1:" + std::to_string(port) + "/big.bin"};
    curl.environment = {"PATH=/usr/bin:/bin"};
    auto run = platform::runChild(curl, "", 4096, 90000);
    EXPECT_EQ(run.output, "200 " + std::to_string(size));

    const std::size_t peak = StatusKiB("VmHWM");
    EXPECT_LT(peak, before + 32 * 1024) << "resident before " << before << " KiB, peak " << peak << " KiB";
}

TEST_F(HttpProtocol, TraversalNeverLeavesTheRoot) {
    Start();
    for (const char* path : {
             "/../outside.txt", "/%2e%2e/outside.txt", "/%2E%2E/outside.txt", "/.%2e/outside.txt",
             "/docs/../../outside.txt", "/docs/%2e%2e/%2e%2e/outside.txt", "/..%2foutside.txt",
             "/%2e%2e%2foutside.txt", "/docs%2f..%2f..%2foutside.txt", "/..%5coutside.txt",
             "/%252e%252e/outside.txt", "/./../outside.txt", "/docs/./../../outside.txt", "../outside.txt",
             "/index.html%00", "/index.html%00.txt", "/%00/../outside.txt", "/./index.html"}) {
        RawHttpClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        client.readUntilClosed(milliseconds(5000));
        const std::string& answer = client.received();
        EXPECT_EQ(answer.find(kSecret), std::string::npos) << path;
        EXPECT_EQ(answer.find("<html>home</html>"), std::string::npos) << path;
        const std::string status = StatusLineOf(answer);
        EXPECT_TRUE(status == "HTTP/1.1 404 Not Found" || status == "HTTP/1.1 400 Bad Request") << path << ": " << status;
    }
}

TEST_F(HttpProtocol, PipelinedRequestsWithBodiesAnsweredInOrder) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    // Three requests in one write, a body in the middle one: the bytes after
    // each request belong to the next.
    client.send("GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n"
                "POST /cgi-bin/echo.sh HTTP/1.1\r\nHost: localhost\r\nContent-Length: 24\r\n\r\n"
                "GET /app.js HTTP/1.1\r\n\r\n"
                "GET /docs/ HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "body{}");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(8000))), "len=24\nGET /app.js HTTP/1.1\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "<p>docs</p>");
    // And the connection goes on afterwards.
    client.send("GET /app.js HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "let a=1;");
    EXPECT_FALSE(client.closed());
}

// Answers every command with its name and the request's path.
class CommandEcho : public KoApplicationHandler {
public:
    std::string handlerName() const override { return "echo1"; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string& command) override {
        const std::string text = "command=" + command + " path=" + request.path;
        response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }
};

TEST_F(HttpProtocol, StoreVariableAndCommandHandler) {
    Start();
    auto* server = static_cast<ServerHandle*>(handle);
    server->store.setVariables({{"greeting", "hello from the store"}});
    WriteFile(root + "greeting", "the file loses");
    ASSERT_NE(server->application->registerHandler(std::make_unique<CommandEcho>()), nullptr);

    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /greeting HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string stored = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(stored), "hello from the store");
    // A stored value went out untyped, so a browser could sniff a value
    // holding "<script>" as a page.
    EXPECT_NE(stored.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << stored;
    EXPECT_NE(stored.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << stored;
    client.send("GET /style.css?velkoid=echo1&velkocommand=run HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "command=run path=/style.css");
    // HEAD ran the command (and told its length); it gets the file's head.
    RawHttpClient headClient(port);
    ASSERT_TRUE(headClient.connected());
    headClient.send("HEAD /style.css?velkoid=echo1&velkocommand=run HTTP/1.1\r\nHost: localhost\r\n"
                    "Connection: close\r\n\r\n");
    EXPECT_TRUE(headClient.readUntilClosed(milliseconds(5000)));
    const std::string head = headClient.received();
    EXPECT_NE(head.find("Content-Length: 6\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Type: text/css\r\n"), std::string::npos) << head;
    client.send("POST /any HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                "Content-Length: 32\r\n\r\nvelkoid=echo1&velkocommand=go%21");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "command=go! path=/any");
    // An identifier nobody registered goes on to the files.
    client.send("GET /style.css?velkoid=nobody HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(5000))), "body{}");
}

}  // namespace
