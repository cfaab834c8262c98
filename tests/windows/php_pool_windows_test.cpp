// KoPhpPool's Windows process handling under Wine, against a stand-in for
// php-cgi.exe (velko_fastcgi_responder.exe, beside this test): processes
// started on a loopback TCP port ("-b 127.0.0.1:PORT"), kept, replaced after
// their count, after dying mid-request and past the time limit, a missing
// program, and stop with a request in flight.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "server/routing/http_settings.h"
#include "server/scripts/php_pool.h"

namespace {

using namespace std::chrono_literals;

const std::string responder = "velko_fastcgi_responder.exe";

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
        arrived.wait_for(guard, 60s, [&] { return got.size() >= count; });
        return got;
    }
};

std::string Body(const KoScriptResult& result) {
    const std::size_t end = result.output.find("\r\n\r\n");
    return end == std::string::npos ? result.output : result.output.substr(end + 4);
}

class PhpPoolOnWindows : public ::testing::Test {
protected:
    void SetUp() override {
        settings.cgiTimeout = 10s;
        settings.php.processes = 1;
    }
    static std::vector<std::string> Params(const std::string& query, const std::string& method = "GET") {
        return {"SCRIPT_FILENAME=C:\\site\\page.php", "REQUEST_METHOD=" + method, "QUERY_STRING=" + query,
                "REDIRECT_STATUS=CGI"};
    }
    static KoScriptResult Run(KoPhpPool& pool, const std::string& query, const std::string& body = {}) {
        Results results;
        EXPECT_TRUE(pool.submit(Params(query, body.empty() ? "GET" : "POST"), body, results.done()));
        auto got = results.wait(1);
        return got.empty() ? KoScriptResult{-1, {}} : got.front();
    }

    KoKessaScheduler2 scheduler;
    KoHTTPSettings settings;
};

TEST_F(PhpPoolOnWindows, KeepsItsProcessOnItsPortAndReplacesItAfterItsCount) {
    settings.php.maxRequests = 3;
    KoPhpPool pool(scheduler, responder, {}, settings);
    const KoScriptResult echoed = Run(pool, "", "a=1&b=2");
    EXPECT_EQ(echoed.failureStatus, 0);
    EXPECT_EQ(Body(echoed), "script=C:\\site\\page.php\nmethod=POST\nbody=a=1&b=2");
    const std::string first = Body(Run(pool, "id"));
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(Body(Run(pool, "id")), first);
    const std::string second = Body(Run(pool, "id"));  // the fourth request: a fresh process
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
    EXPECT_EQ(pool.Launches(), 2u);
}

// A process that died, or was killed past the time limit, answers its
// request with its status, and the next request goes to a fresh process.
TEST_F(PhpPoolOnWindows, AFailedProcessAnswersItsStatusAndIsReplaced) {
    struct Case {
        const char* query;
        std::int32_t status;
    };
    for (const Case& c : {Case{"exit", 502}, Case{"sleep=20000", 504}}) {
        SCOPED_TRACE(c.query);
        settings.cgiTimeout = 1500ms;
        KoPhpPool pool(scheduler, responder, {}, settings);
        const std::string before = Body(Run(pool, "id"));
        ASSERT_FALSE(before.empty());
        EXPECT_EQ(Run(pool, c.query).failureStatus, c.status);
        const std::string after = Body(Run(pool, "id"));
        EXPECT_FALSE(after.empty());
        EXPECT_NE(after, before);
        EXPECT_EQ(pool.Launches(), 2u);
    }
}

TEST_F(PhpPoolOnWindows, MissingProgramGives502WithALine) {
    settings.php.restartBackoff = 10s;
    KoPhpPool pool(scheduler, "velko_no_such_responder.exe", {}, settings);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run(pool, "id").failureStatus, 502);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("cannot start \"velko_no_such_responder.exe\""), std::string::npos) << errors;
}

TEST_F(PhpPoolOnWindows, StopEndsARequestInFlight) {
    KoPhpPool pool(scheduler, responder, {}, settings);
    ASSERT_FALSE(Body(Run(pool, "id")).empty());
    Results results;
    ASSERT_TRUE(pool.submit(Params("sleep=20000"), {}, results.done()));
    for (int i = 0; i < 1000 && pool.Busy() == 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(pool.Busy(), 1u);  // the worker has it, so stop answers it
    pool.stop();
    ASSERT_EQ(results.wait(1).size(), 1u);
    EXPECT_EQ(results.got[0].failureStatus, 503);
    EXPECT_FALSE(pool.submit(Params("id"), {}, results.done()));
}

}  // namespace
