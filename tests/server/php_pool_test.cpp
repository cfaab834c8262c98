// KoPhpPool against the real php-cgi: processes kept and recycled, the wait
// queue bound, the time limit, a killed interpreter, a missing one, stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "platform/file_system.h"
#include "recording_output.h"
#include "server/routing/http_settings.h"
#include "server/scripts/php_pool.h"

namespace {

using namespace std::chrono_literals;

// Collects what done callables receive, from whatever thread.
struct Results {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<KoScriptResult> got;

    KoPhpPool::Done done() {
        return [this](KoScriptResult result) {
            std::lock_guard<std::mutex> guard(lock);
            got.push_back(std::move(result));
            arrived.notify_all();
        };
    }
    std::vector<KoScriptResult> wait(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait_for(guard, 30s, [&] { return got.size() >= count; });
        return got;
    }
    std::size_t count(std::int32_t status) {
        std::lock_guard<std::mutex> guard(lock);
        std::size_t n = 0;
        for (const auto& result : got) n += result.failureStatus == status ? 1 : 0;
        return n;
    }
};

// The body of a script's output (php-cgi writes a header block first).
std::string Body(const KoScriptResult& result) {
    const std::size_t end = result.output.find("\r\n\r\n");
    return end == std::string::npos ? result.output : result.output.substr(end + 4);
}

bool Alive(const std::string& pid) { return !pid.empty() && std::filesystem::exists("/proc/" + pid); }

class PhpPool : public ::testing::Test {
protected:
    void SetUp() override {
        root = platform::makeTemporaryDirectory("velko_pool_").value() + "/";
        std::ofstream(root + "pid.php") << "<?php echo getmypid();";
        // Tells its process id through a file before it sleeps.
        std::ofstream(root + "sleep.php") << "<?php file_put_contents(__DIR__ . '/pid', getmypid());"
                                             " usleep(1000 * (int)$_GET['ms']); echo 'slept';";
        std::ofstream(root + "mark.php") << "<?php touch(__DIR__ . '/marked');";
        settings.cgiTimeout = 5s;
        settings.php.processes = 2;
    }
    void TearDown() override { platform::removeTree(root); }

    std::vector<std::string> Params(const std::string& script, const std::string& query = {}) {
        return {"SCRIPT_FILENAME=" + root + script, "REQUEST_METHOD=GET", "QUERY_STRING=" + query,
                "REDIRECT_STATUS=CGI", "GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.1"};
    }
    // One request, waited for.
    KoScriptResult Run(KoPhpPool& pool, const std::string& script, const std::string& query = {}) {
        Results results;
        EXPECT_TRUE(pool.submit(Params(script, query), {}, results.done()));
        auto got = results.wait(1);
        return got.empty() ? KoScriptResult{-1, {}} : got.front();
    }
    std::string PidFile() {
        std::string pid;
        for (int i = 0; i < 500 && pid.empty(); ++i) {
            std::this_thread::sleep_for(10ms);
            std::ifstream(root + "pid") >> pid;
        }
        return pid;
    }

    KoKessaScheduler2 scheduler;
    KoHTTPSettings settings;
    std::string root;
};

TEST_F(PhpPool, KeepsItsProcessesAndRecyclesThemAfterTheirCount) {
    settings.php.processes = 1;
    settings.php.maxRequests = 3;
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    std::vector<std::string> pids;
    for (int i = 0; i < 5; ++i) pids.push_back(Body(Run(pool, "pid.php")));
    EXPECT_FALSE(pids[0].empty());
    EXPECT_EQ(pids[1], pids[0]);
    EXPECT_EQ(pids[2], pids[0]);
    EXPECT_NE(pids[3], pids[0]);
    EXPECT_EQ(pids[4], pids[3]);
    EXPECT_EQ(pool.Launches(), 2u);
    pool.stop();
    EXPECT_FALSE(Alive(pids[0]));
    EXPECT_FALSE(Alive(pids[3]));
}

TEST_F(PhpPool, QueueIsBoundedAndEveryRequestIsAnswered) {
    settings.php.queueLimit = 3;
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    Results results;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(pool.submit(Params("sleep.php", "ms=200"), {}, results.done()));
    // Two served, three waiting; the other fifteen were refused at once.
    EXPECT_EQ(results.count(503), 15u);
    EXPECT_EQ(pool.Waiting() + pool.Busy(), 5u);
    const auto got = results.wait(20);
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(results.count(0), 5u);
    for (const auto& result : got) EXPECT_TRUE(result.failureStatus == 503 || Body(result) == "slept");
}

// Abandoned PHP requests still ran and filled the queue: 66 of them made the
// next request a 503. A running one is ended at its next look at the client,
// a waiting one is never run, and a full queue drops them to make room; the
// time limit counts from a request's arrival, not from when a process took it.
TEST_F(PhpPool, RequestsWhoseClientHasGoneEndNeverRunAndMakeRoom) {
    settings.php.processes = 1;
    settings.php.queueLimit = 1;
    settings.clientCheck = 20ms;
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    auto running = std::make_shared<RecordingOutput>();
    ASSERT_TRUE(pool.submit(Params("sleep.php", "ms=20000"), {}, running));
    const std::string pid = PidFile();
    ASSERT_TRUE(Alive(pid));
    auto abandoned = std::make_shared<RecordingOutput>();
    ASSERT_TRUE(pool.submit(Params("mark.php"), {}, abandoned));
    abandoned->clientGone = true;
    auto next = std::make_shared<RecordingOutput>();
    ASSERT_TRUE(pool.submit(Params("pid.php"), {}, next));
    EXPECT_EQ(next->Status(0ms), std::nullopt);  // admitted, not refused
    running->clientGone = true;
    EXPECT_EQ(running->Status(), 502);
    EXPECT_EQ(abandoned->Status(), 503);
    EXPECT_EQ(next->Status(), 0);
    EXPECT_FALSE(Alive(pid));
    EXPECT_FALSE(std::filesystem::exists(root + "marked"));

    settings.cgiTimeout = 500ms;
    KoPhpPool timed(scheduler, "php-cgi", root, settings);
    auto late = std::make_shared<RecordingOutput>();  // its request came first
    auto first = std::make_shared<RecordingOutput>();
    ASSERT_TRUE(timed.submit(Params("sleep.php", "ms=20000"), {}, first));
    ASSERT_TRUE(timed.submit(Params("mark.php"), {}, late));
    EXPECT_EQ(first->Status(), 504);
    EXPECT_EQ(late->Status(), 504);
    EXPECT_FALSE(std::filesystem::exists(root + "marked"));
}

TEST_F(PhpPool, ScriptPastTheTimeLimitIsKilledAndReplaced) {
    settings.cgiTimeout = 500ms;
    settings.php.processes = 1;
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    EXPECT_EQ(Run(pool, "sleep.php", "ms=20000").failureStatus, 504);
    const std::string killed = PidFile();
    EXPECT_EQ(Body(Run(pool, "sleep.php", "ms=0")), "slept");
    EXPECT_FALSE(Alive(killed));
}

TEST_F(PhpPool, InterpreterKilledMidRequestGives502AndAFreshOneServes) {
    settings.php.processes = 1;
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    Results results;
    pool.submit(Params("sleep.php", "ms=20000"), {}, results.done());
    const std::string pid = PidFile();
    ASSERT_FALSE(pid.empty());
    ::kill(std::stoi(pid), SIGKILL);
    ASSERT_EQ(results.wait(1).size(), 1u);
    EXPECT_EQ(results.got[0].failureStatus, 502);
    const std::string fresh = Body(Run(pool, "pid.php"));
    EXPECT_NE(fresh, pid);
    EXPECT_TRUE(Alive(fresh));
}

TEST_F(PhpPool, MissingInterpreterGives502WithALineAndDoesNotSpin) {
    settings.php.restartBackoff = 10s;
    KoPhpPool pool(scheduler, "/nonexistent/php-cgi", root, settings);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(Run(pool, "pid.php").failureStatus, 502);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("cannot start \"/nonexistent/php-cgi\": No such file or directory"), std::string::npos)
        << errors;
    // Each process tried at its start and once more, then waits out its pause.
    EXPECT_LE(pool.Launches(), 4u);
}

TEST_F(PhpPool, StopEndsARequestInFlightAndReapsItsProcess) {
    KoPhpPool pool(scheduler, "php-cgi", root, settings);
    Results results;
    pool.submit(Params("sleep.php", "ms=20000"), {}, results.done());
    const std::string pid = PidFile();
    ASSERT_TRUE(Alive(pid));
    const auto started = std::chrono::steady_clock::now();
    pool.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    ASSERT_EQ(results.wait(1).size(), 1u);
    EXPECT_EQ(results.got[0].failureStatus, 503);
    EXPECT_FALSE(Alive(pid));
    EXPECT_FALSE(pool.submit(Params("pid.php"), {}, results.done()));
}

}  // namespace
