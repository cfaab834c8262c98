#include "jobs/job_with_timeout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr uint64_t oneHour = 3'600'000'000ULL;

}  // namespace

TEST(KoJobWithTimeout, NotTimedOutBeforeTheDeadline) {
    KoJobWithTimeout job(oneHour);
    EXPECT_FALSE(job.checkTimedOut());
    EXPECT_FALSE(job.checkTimedOut());
}

TEST(KoJobWithTimeout, ExpiredJobAlternatesUntilTouched) {
    KoJobWithTimeout job(150'000);  // 150 ms
    std::this_thread::sleep_for(std::chrono::milliseconds(170));
    EXPECT_TRUE(job.checkTimedOut());
    // Not alive: touch does not restart, and the next check revives it.
    job.touch();
    EXPECT_FALSE(job.checkTimedOut());
    EXPECT_TRUE(job.checkTimedOut());
    EXPECT_FALSE(job.checkTimedOut());
    // Alive again: touch restarts the deadline.
    job.touch();
    EXPECT_FALSE(job.checkTimedOut());
    EXPECT_FALSE(job.checkTimedOut());
}

TEST(KoJobWithTimeout, ZeroTimeoutExpiresAtOnce) {
    KoJobWithTimeout job(0);
    EXPECT_TRUE(job.checkTimedOut());
    EXPECT_FALSE(job.checkTimedOut());
    EXPECT_TRUE(job.checkTimedOut());
}

TEST(KoJobWithTimeout, ChecksFromManyThreadsReportEachExpiryOnce) {
    KoJobWithTimeout job(0);
    std::atomic<int> trues{0};
    std::atomic<int> falses{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) (job.checkTimedOut() ? trues : falses).fetch_add(1);
        });
    }
    for (auto& thread : threads) thread.join();
    // Each check flips `alive`, so the answers alternate strictly.
    EXPECT_EQ(trues.load(), 2000);
    EXPECT_EQ(falses.load(), 2000);
}
