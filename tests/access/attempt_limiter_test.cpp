#include "access/attempt_limiter.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::chrono_literals;

TEST(KoAttemptLimiter, TooManyFailuresInAWindowBlockAnAddressForAWhile) {
    KoAttemptLimiter limiter({3, 60s, 30s, 100});
    const auto t0 = KoAttemptLimiter::Clock::time_point{} + 1000s;
    for (int i = 0; i < 3; ++i) limiter.failed("10.0.0.1", t0 + std::chrono::seconds(i));
    EXPECT_FALSE(limiter.blocked("10.0.0.1", t0 + 3s));  // at the limit, not over it
    limiter.failed("10.0.0.1", t0 + 4s);
    EXPECT_TRUE(limiter.blocked("10.0.0.1", t0 + 5s));
    EXPECT_FALSE(limiter.blocked("10.0.0.2", t0 + 5s));  // another client is not held up
    EXPECT_TRUE(limiter.blocked("10.0.0.1", t0 + 33s));
    EXPECT_FALSE(limiter.blocked("10.0.0.1", t0 + 35s));

    // Failures spread wider than the window never add up to a block.
    for (int i = 0; i < 10; ++i) limiter.failed("10.0.0.3", t0 + std::chrono::seconds(i * 25));
    EXPECT_FALSE(limiter.blocked("10.0.0.3", t0 + 251s));

    // A success forgets the failures before it.
    for (int i = 0; i < 3; ++i) limiter.failed("10.0.0.4", t0);
    limiter.succeeded("10.0.0.4");
    limiter.failed("10.0.0.4", t0 + 1s);
    EXPECT_FALSE(limiter.blocked("10.0.0.4", t0 + 2s));
}

TEST(KoAttemptLimiter, RemembersNoMoreAddressesThanItsBound) {
    KoAttemptLimiter limiter({1, 60s, 60s, 8});
    const auto t0 = KoAttemptLimiter::Clock::time_point{} + 1000s;
    for (int i = 0; i < 1000; ++i) limiter.failed("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), t0 + std::chrono::milliseconds(i));
    EXPECT_EQ(limiter.tracked(), 8u);
    // The newest are the ones kept.
    limiter.failed("10.0.3.231", t0 + 2s);
    EXPECT_TRUE(limiter.blocked("10.0.3.231", t0 + 3s));
}
