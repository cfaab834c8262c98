#include "jobs/kessa_scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Params = KoKessaJobParametersAndResult;

KoKessaJobParametersAndResult* same(Params* p) { return p; }

// Bounded wait for a condition that other threads make true.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A gate that bodies wait on until the test opens it.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return open_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
};

// Waits for an item to end by itself and takes its result.
std::unique_ptr<Params> finish(KoKessaScheduler2& scheduler, uint64_t number) {
    if (!eventually([&] { return scheduler.hasResult(number); })) return nullptr;
    return scheduler.takeResult(number);
}

class Derived : public Params {
public:
    std::string payload;
};

}  // namespace

TEST(KoKessaScheduler2, RunsAnItemOnceAndHandsOverItsResult) {
    KoKessaScheduler2 scheduler;
    std::atomic<int> runs{0};
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            ++runs;
            return p;
        },
        nullptr, KoKessaJobOptions{});
    auto result = finish(scheduler, number);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->id, number);
    EXPECT_EQ(result->runs, 1u);
    EXPECT_EQ(runs.load(), 1);
    // Forgotten now.
    EXPECT_TRUE(scheduler.hasResult(number));
    EXPECT_EQ(scheduler.takeResult(number), nullptr);
}

TEST(KoKessaScheduler2, UnknownNumbersHaveNothingToTake) {
    KoKessaScheduler2 scheduler;
    EXPECT_TRUE(scheduler.hasResult(987654321));
    EXPECT_EQ(scheduler.takeResult(987654321), nullptr);
    scheduler.cancel(987654321);
    EXPECT_EQ(scheduler.cancelAndWait(987654321), nullptr);
}

TEST(KoKessaScheduler2, NumbersIncreaseAcrossSchedulers) {
    KoKessaScheduler2 first;
    KoKessaScheduler2 second;
    const uint64_t a = first.submit(same, nullptr, {});
    const uint64_t b = second.submit(same, nullptr, {});
    const uint64_t c = first.submit(same, nullptr, {});
    EXPECT_GE(a, 1u);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
}

TEST(KoKessaScheduler2, GivenParametersReachTheBody) {
    KoKessaScheduler2 scheduler;
    auto given = std::make_unique<Derived>();
    given->payload = "data";
    std::string seen;
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            seen = static_cast<Derived*>(p)->payload;
            return p;
        },
        std::move(given), {});
    auto result = finish(scheduler, number);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->id, number);
    EXPECT_EQ(static_cast<Derived*>(result.get())->payload, "data");
    EXPECT_EQ(seen, "data");
}

TEST(KoKessaScheduler2, RepeatsAfterItsDelayUntilCancelled) {
    KoKessaScheduler2 scheduler;
    std::mutex lock;
    std::vector<std::chrono::steady_clock::time_point> starts;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    options.delayMillis = 100;
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            std::lock_guard<std::mutex> guard(lock);
            starts.push_back(std::chrono::steady_clock::now());
            return p;
        },
        nullptr, options);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> guard(lock);
        return starts.size() >= 4;
    }));
    // Between runs it has a result, but the parameters stay with the item.
    EXPECT_TRUE(eventually([&] { return scheduler.hasResult(number); }));
    EXPECT_EQ(scheduler.takeResult(number), nullptr);
    auto result = scheduler.cancelAndWait(number);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->repeatMode, KoKessaRepeat);
    std::size_t runs;
    {
        std::lock_guard<std::mutex> guard(lock);
        runs = starts.size();
        for (std::size_t i = 1; i < starts.size(); ++i) EXPECT_GE(starts[i] - starts[i - 1], 100ms);
    }
    std::this_thread::sleep_for(150ms);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(starts.size(), runs);
}

TEST(KoKessaScheduler2, BodyEndsRepetitionByItsRepeatMode) {
    KoKessaScheduler2 scheduler;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    std::atomic<int> runs{0};
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            if (++runs == 3) p->repeatMode = 0;
            return p;
        },
        nullptr, options);
    ASSERT_TRUE(eventually([&] { return scheduler.hasResult(number) && runs.load() == 3; }));
    auto result = scheduler.takeResult(number);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->repeatMode, 0u);
    EXPECT_EQ(runs.load(), 3);
}

TEST(KoKessaScheduler2, MaxRunningCapsConcurrency) {
    KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 1});
    std::atomic<int> now{0};
    std::atomic<int> most{0};
    auto body = [&](Params* p) {
        const int current = ++now;
        int seen = most.load();
        while (current > seen && !most.compare_exchange_weak(seen, current)) {
        }
        std::this_thread::sleep_for(10ms);
        --now;
        return p;
    };
    std::vector<uint64_t> numbers;
    for (int i = 0; i < 4; ++i) numbers.push_back(scheduler.submit(body, nullptr, {}));
    for (uint64_t number : numbers) EXPECT_NE(finish(scheduler, number), nullptr);
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(scheduler.maxRunning(), 1u);
}

TEST(KoKessaScheduler2, WithoutALimitItemsRunTogether) {
    KoKessaScheduler2 scheduler;
    std::atomic<int> arrived{0};
    auto body = [&](Params* p) {
        ++arrived;
        // Each waits for all three: only possible when they run at once.
        eventually([&] { return arrived.load() >= 3; }, 5s);
        return p;
    };
    std::vector<uint64_t> numbers;
    for (int i = 0; i < 3; ++i) numbers.push_back(scheduler.submit(body, nullptr, {}));
    for (uint64_t number : numbers) EXPECT_NE(finish(scheduler, number), nullptr);
    EXPECT_EQ(arrived.load(), 3);
}

// Exclusive items used to be allowed one run ever: the mask's bits stayed
// busy after the run, so a second item (or a repetition) never started and
// its owner waited for it forever.
TEST(KoKessaScheduler2, ExclusiveItemsTakeTurns) {
    KoKessaScheduler2 scheduler;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> runs{0};
    auto body = [&](Params* p) {
        if (++inside > 1) overlapped.store(true);
        std::this_thread::sleep_for(5ms);
        --inside;
        if (++runs >= 6) p->repeatMode = 0;
        return p;
    };
    KoKessaJobOptions options;
    options.exclusionMask = 0x4;
    options.repeatMode = KoKessaRepeat;
    const uint64_t a = scheduler.submit(body, nullptr, options);
    const uint64_t b = scheduler.submit(body, nullptr, options);
    ASSERT_TRUE(eventually([&] { return runs.load() >= 6; }));
    scheduler.cancelAndWait(a);
    scheduler.cancelAndWait(b);
    EXPECT_FALSE(overlapped.load());
}

TEST(KoKessaScheduler2, CancelBeforeTheFirstRunEndsTheItem) {
    KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 1});
    Gate gate;
    const uint64_t blocker = scheduler.submit(
        [&](Params* p) {
            gate.pass();
            return p;
        },
        nullptr, {});
    std::atomic<bool> ran{false};
    const uint64_t waiting = scheduler.submit(
        [&](Params* p) {
            ran.store(true);
            return p;
        },
        nullptr, {});
    EXPECT_FALSE(scheduler.hasResult(waiting));
    scheduler.cancel(waiting);
    EXPECT_TRUE(scheduler.hasResult(waiting));
    auto parameters = scheduler.takeResult(waiting);
    ASSERT_NE(parameters, nullptr);
    EXPECT_EQ(parameters->id, waiting);
    // The blocker still runs; taking it now finds nothing and keeps it.
    EXPECT_FALSE(scheduler.hasResult(blocker));
    EXPECT_EQ(scheduler.takeResult(blocker), nullptr);
    gate.open();
    EXPECT_NE(scheduler.cancelAndWait(blocker), nullptr);
    EXPECT_FALSE(ran.load());
}

TEST(KoKessaScheduler2, CancelDuringARunWaitsForItsEnd) {
    KoKessaScheduler2 scheduler;
    Gate started;
    Gate finish;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    std::atomic<int> runs{0};
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            ++runs;
            started.open();
            finish.pass();
            return p;
        },
        nullptr, options);
    started.pass();
    scheduler.cancel(number);
    EXPECT_FALSE(scheduler.hasResult(number));
    auto waiter = std::async(std::launch::async, [&] { return scheduler.cancelAndWait(number); });
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
    finish.open();
    EXPECT_NE(waiter.get(), nullptr);
    EXPECT_EQ(runs.load(), 1);
}

// A null return used to end result collection for every item, so that the
// owners of all later items polled for their results forever.
TEST(KoKessaScheduler2, NullOrThrowingBodyEndsOnlyItsItem) {
    KoKessaScheduler2 scheduler;
    const uint64_t null = scheduler.submit([](Params*) -> Params* { return nullptr; }, nullptr, {});
    const uint64_t thrower =
        scheduler.submit([](Params*) -> Params* { throw std::runtime_error("broken"); }, nullptr, {});
    auto nullResult = finish(scheduler, null);
    auto throwResult = finish(scheduler, thrower);
    ASSERT_NE(nullResult, nullptr);
    EXPECT_EQ(nullResult->id, null);
    ASSERT_NE(throwResult, nullptr);
    EXPECT_EQ(throwResult->id, thrower);
    const uint64_t later = scheduler.submit(same, nullptr, {});
    EXPECT_NE(finish(scheduler, later), nullptr);
}

TEST(KoKessaScheduler2, BodyMayReturnAnotherObject) {
    KoKessaScheduler2 scheduler;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    std::atomic<int> runs{0};
    const uint64_t number = scheduler.submit(
        [&](Params* p) -> Params* {
            auto fresh = std::make_unique<Params>(p->id, p->runs, ++runs < 3 ? KoKessaRepeat : 0);
            return fresh.release();  // the scheduler owns what a body returns
        },
        nullptr, options);
    ASSERT_TRUE(eventually([&] { return runs.load() == 3 && scheduler.hasResult(number); }));
    auto result = scheduler.takeResult(number);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->repeatMode, 0u);
    EXPECT_EQ(result->id, number);
}

TEST(KoKessaScheduler2, DestructorEndsWithItemsInEveryState) {
    Gate release;
    std::atomic<bool> runningDone{false};
    std::thread opener;
    {
        KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 2});
        KoKessaJobOptions delayed;
        delayed.repeatMode = KoKessaRepeat;
        delayed.delayMillis = 60'000;
        scheduler.submit(same, nullptr, delayed);
        // Runs until released; the scheduler waits for it.
        scheduler.submit(
            [&](Params* p) {
                release.pass();
                runningDone.store(true);
                return p;
            },
            nullptr, {});
        KoKessaJobOptions exclusive;
        exclusive.exclusionMask = 1;
        scheduler.submit(
            [&](Params* p) {
                release.pass();
                return p;
            },
            nullptr, exclusive);
        scheduler.submit(same, nullptr, exclusive);  // held back by the mask
        ASSERT_TRUE(eventually([&] { return scheduler.runningCount() == 2; }));
        opener = std::thread([&] {
            std::this_thread::sleep_for(30ms);
            release.open();
        });
    }
    opener.join();
    EXPECT_TRUE(runningDone.load());
}

TEST(KoKessaScheduler2, ManyThreadsSubmitAndTake) {
    KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 3});
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    std::atomic<int> taken{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::vector<uint64_t> mine;
            for (int i = 0; i < 25; ++i) {
                mine.push_back(scheduler.submit(
                    [&](Params* p) {
                        ++runs;
                        return p;
                    },
                    nullptr, {}));
            }
            // Half end by themselves, half are cancelled wherever they are.
            for (std::size_t i = 0; i < mine.size(); ++i) {
                auto result = i % 2 ? scheduler.cancelAndWait(mine[i]) : finish(scheduler, mine[i]);
                if (result != nullptr && result->id == mine[i]) ++taken;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(taken.load(), 100);
    EXPECT_GE(runs.load(), 50);
    EXPECT_LE(runs.load(), 100);
}

TEST(KoKessaScheduler2, SubmitFromABodyAndChangeTheLimit) {
    KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 1});
    std::promise<uint64_t> inner;
    const uint64_t outer = scheduler.submit(
        [&](Params* p) {
            inner.set_value(scheduler.submit(same, nullptr, {}));
            return p;
        },
        nullptr, {});
    const uint64_t innerNumber = inner.get_future().get();
    EXPECT_NE(finish(scheduler, outer), nullptr);
    EXPECT_NE(finish(scheduler, innerNumber), nullptr);
    scheduler.setMaxRunning(0);
    EXPECT_EQ(scheduler.maxRunning(), 0u);
}

// A huge delay used to wrap into the past and repeat the item at once.
TEST(KoKessaScheduler2, HugeDelayWaitsInsteadOfWrapping) {
    KoKessaScheduler2 scheduler;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    options.delayMillis = UINT64_MAX;
    options.delayMicros = UINT64_MAX;
    std::atomic<int> runs{0};
    const uint64_t number = scheduler.submit(
        [&](Params* p) {
            ++runs;
            return p;
        },
        nullptr, options);
    ASSERT_TRUE(eventually([&] { return scheduler.hasResult(number); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_NE(scheduler.cancelAndWait(number), nullptr);
}
