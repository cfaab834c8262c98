#include "jobs/reusable_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "platform/thread_slot.h"
#include "thread_serial.h"

namespace {

using namespace std::chrono_literals;
using Params = KoKessaJobParametersAndResult;

// Counts, at its end, each thread that touched it.
struct ThreadEnd {
    std::shared_ptr<std::atomic<int>> count;
    ~ThreadEnd() {
        if (count) ++*count;
    }
};

void countThreadEnd(const std::shared_ptr<std::atomic<int>>& ended) { platform::perThread<ThreadEnd>().count = ended; }

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 10'000 && !condition(); ++i) std::this_thread::sleep_for(1ms);
    return condition();
}

}  // namespace

// Each round submits `width` items that hold until all of them have started,
// which they only do if none waits for a free thread.
TEST(KoKessaScheduler2, ItemsStartAtOnceOnReusedThreadsJoinedAtTheEnd) {
    const struct {
        int rounds, width;
        std::size_t atMost;  // distinct threads over all rounds
    } rows[] = {{200, 1, 8}, {1, 16, 16 + 8}, {20, 4, 4 + 8}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rounds << " rounds of " << row.width);
        std::mutex lock;
        std::condition_variable changed;
        std::set<int> threads;
        int inRound = 0;
        bool stalled = false;
        auto ended = std::make_shared<std::atomic<int>>(0);
        {
            KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.idleThreadLinger = 1h});
            for (int round = 0; round < row.rounds; ++round) {
                {
                    std::lock_guard<std::mutex> guard(lock);
                    inRound = 0;
                }
                std::vector<uint64_t> numbers;
                for (int i = 0; i < row.width; ++i) {
                    numbers.push_back(scheduler.submit(
                        [&](Params* p) {
                            countThreadEnd(ended);
                            std::unique_lock<std::mutex> guard(lock);
                            threads.insert(threadSerial());
                            ++inRound;
                            changed.notify_all();
                            if (!changed.wait_for(guard, 10s, [&] { return inRound >= row.width; })) stalled = true;
                            return p;
                        },
                        nullptr, {}));
                }
                for (uint64_t number : numbers) {
                    ASSERT_TRUE(eventually([&] { return scheduler.hasResult(number); }));
                    ASSERT_NE(scheduler.takeResult(number), nullptr);
                }
            }
            EXPECT_EQ(ended->load(), 0);  // lingering for an hour
        }
        EXPECT_FALSE(stalled);
        EXPECT_GE(threads.size(), static_cast<std::size_t>(row.width));
        EXPECT_LE(threads.size(), row.atMost);
        EXPECT_EQ(ended->load(), static_cast<int>(threads.size()));
    }
}

TEST(KoReusableThreads, IdleThreadsEndAfterTheirLinger) {
    auto ended = std::make_shared<std::atomic<int>>(0);
    KoReusableThreads threads("test", 1ms);
    for (int i = 1; i <= 2; ++i) {
        threads.run([&] { countThreadEnd(ended); });
        ASSERT_TRUE(eventually([&] { return ended->load() == i && threads.threadCount() == 0; }));
    }
}
