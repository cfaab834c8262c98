#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/x_header.h"
#include "platform/file_system.h"
#include "recording_output.h"
#include "server/files/mime_types.h"
#include "server/routing/http_settings.h"
#include "server/scripts/cgi_runner.h"

namespace {

using namespace std::chrono_literals;

std::shared_ptr<KoXHeader> Parse(const std::string& bytes) {
    auto header = std::make_shared<KoXHeader>(method_code::NONE, false, 3);
    header->messageKind.store(message_kind::Request);
    header->AppendInput(bytes);
    EXPECT_EQ(header->ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    return header;
}

TEST(buildEnvironment, GetRequest) {
    auto request = Parse("GET /a.php?x=1&y HTTP/1.1\r\nHost: h\r\nUser-Agent: t\r\nProxy: evil\r\n\r\n");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    EXPECT_EQ(env["REQUEST_METHOD"], "GET");
    EXPECT_EQ(env["QUERY_STRING"], "x=1&y");
    EXPECT_EQ(env["HTTP_USER-AGENT"], "t");
    EXPECT_EQ(env["HTTP_USER_AGENT"], "t");
    EXPECT_EQ(env.count("CONTENT_LENGTH"), 0u);
    EXPECT_EQ(env.count("HTTP_PROXY"), 0u);
}

TEST(buildEnvironment, PostRequestDefaultsItsType) {
    auto request = Parse("POST /a.php HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    EXPECT_EQ(env["REQUEST_METHOD"], "POST");
    EXPECT_EQ(env["CONTENT_TYPE"], "application/x-www-form-urlencoded");
    EXPECT_EQ(env["CONTENT_LENGTH"], "3");
}

// A field spelt with '_' gave the same variable as its name with '-', so
// "X_Forwarded_For" overrode "X-Forwarded-For" whatever their order, and the
// body's type and length came twice, also as HTTP_CONTENT_*.
TEST(buildEnvironment, FieldsThatWouldShadowOthersAreDropped) {
    for (const char* fields : {"X-Forwarded-For: 10.0.0.1\r\nX_Forwarded_For: 6.6.6.6\r\n",
                               "X_Forwarded_For: 6.6.6.6\r\nX-Forwarded-For: 10.0.0.1\r\n"}) {
        auto request = Parse(std::string("POST /a.php HTTP/1.1\r\n") + fields +
                             "Remote_User: root\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc");
        KoCgiEnvironment env;
        ASSERT_TRUE(buildEnvironment(*request, env));
        EXPECT_EQ(env["HTTP_X_FORWARDED_FOR"], "10.0.0.1") << fields;
        EXPECT_EQ(env["HTTP_X-FORWARDED-FOR"], "10.0.0.1") << fields;
        EXPECT_EQ(env.count("HTTP_REMOTE_USER"), 0u);
        EXPECT_EQ(env["CONTENT_TYPE"], "text/plain");
        EXPECT_EQ(env["CONTENT_LENGTH"], "3");
        for (const char* twice :
             {"HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH", "HTTP_CONTENT-TYPE", "HTTP_CONTENT-LENGTH"}) {
            EXPECT_EQ(env.count(twice), 0u) << twice;
        }
    }
}

TEST(addGatewayVariables, NamesTheScriptAndPeer) {
    auto request = Parse("GET /dir/a.php?q HTTP/1.1\r\n\r\n");
    KoCgiEnvironment env;
    KoCgiContext context{"/root/", "/dir/a.php", "/root/dir/a.php", "127.0.0.1", "80", "10.0.0.1", "5555"};
    addGatewayVariables(*request, context, env);
    EXPECT_EQ(env["GATEWAY_INTERFACE"], "CGI/1.1");
    EXPECT_EQ(env["SERVER_PROTOCOL"], "HTTP/1.1");
    EXPECT_EQ(env["SCRIPT_FILENAME"], "/root/dir/a.php");
    EXPECT_EQ(env["REQUEST_URI"], "/dir/a.php?q");
    EXPECT_EQ(env["REMOTE_PORT"], "5555");
    EXPECT_EQ(env["REDIRECT_STATUS"], "CGI");
    for (const std::string& entry : environmentEntries({{"HTTP_PROXY", "x"}, {"A", "b"}})) EXPECT_EQ(entry, "A=b");
}

// A script asked through an absolute target was told the whole URI as its
// REQUEST_URI and the Host line the server ignores.
TEST(addGatewayVariables, AbsoluteTargetGivesThePathAndTheTargetsHost) {
    auto request = Parse("GET http://named:81/dir/a.php?q HTTP/1.1\r\nHost: other\r\n\r\n");
    KoCgiEnvironment env;
    ASSERT_TRUE(buildEnvironment(*request, env));
    KoCgiContext context{"/root/", "/dir/a.php", "/root/dir/a.php", "127.0.0.1", "80", "10.0.0.1", "5555"};
    addGatewayVariables(*request, context, env);
    EXPECT_EQ(env["REQUEST_URI"], "/dir/a.php?q");
    EXPECT_EQ(env["QUERY_STRING"], "q");
    EXPECT_EQ(env["HTTP_HOST"], "named:81");
}

platform::ChildOptions Shell(const std::string& script) {
    platform::ChildOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", script};
    options.environment = {"PATH=/usr/bin:/bin"};
    return options;
}

class CgiRunner : public ::testing::Test {
protected:
    void SetUp() override {
        dir = platform::makeTemporaryDirectory("velko_runner_").value() + "/";
        settings.cgiConcurrency = 1;
        settings.cgiTimeout = 5s;
    }
    void TearDown() override { platform::removeTree(dir); }

    std::shared_ptr<RecordingOutput> Submit(KoCgiRunner& runner, const std::string& script,
                                            std::shared_ptr<RecordingOutput> output = nullptr) {
        if (!output) output = std::make_shared<RecordingOutput>();
        EXPECT_TRUE(runner.submit(Shell(script), "", output));
        return output;
    }
    // Waits (bounded) until the first run's child is there.
    void AwaitFile(const std::string& file) {
        for (int i = 0; i < 500 && !std::filesystem::exists(file); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(std::filesystem::exists(file));
    }

    KoKessaScheduler2 scheduler;
    KoHTTPSettings settings;
    std::string dir;
};

// Stop waited for a silent CGI program until it ended on its own (23 s for
// a "sleep 25"), or here until its time ran out (504): it is killed at once.
TEST_F(CgiRunner, StopKillsARunningProgramAtOnce) {
    settings.cgiTimeout = 3s;
    KoCgiRunner runner(scheduler, settings);
    auto silent = Submit(runner, "touch " + dir + "began; exec sleep 30");
    AwaitFile(dir + "began");
    runner.stop();
    EXPECT_EQ(silent->Status(0ms), 503);
}

// Runs whose client had gone still ran: forty abandoned requests for a
// 3-second program held every place for 14 s, and those that waited were
// started all the same. A running one is ended at its next look at the
// client (502, nobody sees it), a waiting one is never started.
TEST_F(CgiRunner, RunsWhoseClientHasGoneEndOrNeverStart) {
    settings.clientCheck = 20ms;
    KoCgiRunner runner(scheduler, settings);
    auto running = Submit(runner, "touch " + dir + "began; exec sleep 30");
    auto waiting = Submit(runner, "touch " + dir + "second");
    AwaitFile(dir + "began");
    waiting->clientGone = true;
    running->clientGone = true;
    EXPECT_EQ(running->Status(), 502);
    EXPECT_EQ(waiting->Status(), 503);
    EXPECT_FALSE(std::filesystem::exists(dir + "second"));
}

// The CGI queue had no bound (the PHP pool's has): past it a run is
// answered 503 at once, and waiting runs whose clients have gone make room.
// The time limit began only when a run got its turn (a queued request waited
// far longer than its limit); it counts from the request's arrival.
TEST_F(CgiRunner, QueueIsBoundedAndTimeCountsFromArrival) {
    settings.cgiQueueLimit = 1;
    settings.clientCheck = 20ms;
    {
        KoCgiRunner runner(scheduler, settings);
        // Running before the next arrive, so that the one place is theirs.
        auto first = Submit(runner, "touch " + dir + "began; exec sleep 30");
        AwaitFile(dir + "began");
        auto second = Submit(runner, "true");
        auto third = Submit(runner, "true");
        EXPECT_EQ(third->Status(0ms), 503);
        second->clientGone = true;
        auto fourth = Submit(runner, "true");
        EXPECT_EQ(fourth->Status(0ms), std::nullopt);
        EXPECT_EQ(runner.Waiting(), 1u);
        first->clientGone = true;
        EXPECT_EQ(first->Status(), 502);
        EXPECT_EQ(second->Status(), 503);
        EXPECT_EQ(fourth->Status(), 0);
    }
    settings.cgiTimeout = 300ms;
    KoCgiRunner runner(scheduler, settings);
    // Made first: its request came before the one that holds the place,
    // by more than the millisecond a run's time is counted in (made a few
    // microseconds apart, the late one could still find time left).
    auto late = std::make_shared<RecordingOutput>();
    std::this_thread::sleep_for(20ms);
    auto first = Submit(runner, "exec sleep 30");
    Submit(runner, "touch " + dir + "late", late);
    EXPECT_EQ(first->Status(), 504);
    EXPECT_EQ(late->Status(), 504);
    EXPECT_FALSE(std::filesystem::exists(dir + "late"));
}

TEST(KoMimeTypeFor, Table) {
    const struct {
        const char* file;
        const char* type;
    } table[] = {
        {"a/b.HTML", "text/html"},
        {"x.css", "text/css"},
        {"x.mjs", "text/javascript"},
        {"x.woff2", "font/woff2"},
        {"x.wasm", "application/wasm"},
        {"x.webp", "image/webp"},
        {"x.avif", "image/avif"},
        {"x.svg", "image/svg+xml"},
        {"x.json", "application/json"},
        {"app.js.map", "application/json"},
        {"x.mp4", "video/mp4"},
        {"x.webm", "video/webm"},
        {"x.ogg", "audio/ogg"},
        {"x.mp3", "audio/mpeg"},
        {"x.pdf", "application/pdf"},
        {"dir.d/noext", "application/octet-stream"},
        {"dir.d\\noext", "application/octet-stream"},
        {"a.b/c.css", "text/css"},
        {".css", "text/css"},
        {"x.bin", "application/octet-stream"},
        {"x.", "application/octet-stream"},
        {"x.unknown", "application/octet-stream"},
        {"x.WebManifest", "application/manifest+json"},
        {"x.webmanifestwithmore", "application/octet-stream"},
    };
    for (const auto& row : table) EXPECT_EQ(KoMimeTypeFor(row.file), row.type) << row.file;
}

}  // namespace
