#include "jobs/bounded_work_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "jobs/kessa_scheduler.h"
#include "thread_serial.h"

namespace {

using namespace std::chrono_literals;

// Work that holds until the test releases it, counting how many hold at once.
class Holds {
public:
    void enter() {
        std::unique_lock<std::mutex> guard(lock);
        ++inside;
        ++entered;
        peak = std::max(peak, inside);
        changed.notify_all();
        changed.wait(guard, [&] { return released; });
        --inside;
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        released = true;
        changed.notify_all();
    }
    bool waitEntered(int n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 10s, [&] { return entered >= n; });
    }

    std::mutex lock;
    std::condition_variable changed;
    int inside = 0;
    int entered = 0;
    int peak = 0;
    bool released = false;
};

TEST(KoBoundedWorkQueue, NeverRunsMoreThanItsLimitAndRunsEverything) {
    KoKessaScheduler2 scheduler;
    Holds holds;
    std::atomic<int> done{0};
    {
        KoBoundedWorkQueue queue(scheduler, 3, "test");
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(queue.submit([&] {
                holds.enter();
                ++done;
            }));
        }
        ASSERT_TRUE(holds.waitEntered(3));
        EXPECT_EQ(queue.Running(), 3u);
        EXPECT_EQ(queue.Waiting(), 17u);
        holds.release();
        for (int i = 0; i < 1000 && done.load() < 20; ++i) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(done.load(), 20);
    EXPECT_EQ(holds.peak, 3);
}

TEST(KoBoundedWorkQueue, WaitingWorkRunsInOrder) {
    KoKessaScheduler2 scheduler;
    std::mutex lock;
    std::vector<int> order;
    {
        KoBoundedWorkQueue queue(scheduler, 1, "test");
        for (int i = 0; i < 10; ++i) {
            queue.submit([&, i] {
                std::lock_guard<std::mutex> guard(lock);
                order.push_back(i);
            });
        }
        for (int i = 0; i < 1000 && queue.Running() + queue.Waiting() > 0; ++i) std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(KoBoundedWorkQueue, StopWaitsForRunningWorkAndDropsTheRest) {
    KoKessaScheduler2 scheduler;
    Holds holds;
    std::atomic<int> ran{0};
    auto owned = std::make_shared<int>(0);
    KoBoundedWorkQueue queue(scheduler, 1, "test");
    queue.submit([&] {
        holds.enter();
        ++ran;
    });
    // Waiting work is destroyed unrun: what it holds is let go.
    queue.submit([&, owned] { ++ran; });
    ASSERT_TRUE(holds.waitEntered(1));
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        holds.release();
    });
    queue.stop();
    releaser.join();
    EXPECT_EQ(ran.load(), 1);
    EXPECT_EQ(owned.use_count(), 1);
    EXPECT_FALSE(queue.submit([&] { ++ran; }));
    EXPECT_EQ(queue.Running(), 0u);
}

TEST(KoBoundedWorkQueue, RunnersTakeTheWaitingPiecesThemselves) {
    KoKessaScheduler2 scheduler;
    Holds holds;
    std::mutex lock;
    std::set<int> threads;
    std::atomic<int> done{0};
    auto piece = [&](bool hold) {
        return [&, hold] {
            {
                std::lock_guard<std::mutex> guard(lock);
                threads.insert(threadSerial());
            }
            if (hold) holds.enter();
            ++done;
        };
    };
    KoBoundedWorkQueue queue(scheduler, 2, "test");
    queue.submit(piece(true));
    queue.submit(piece(true));
    ASSERT_TRUE(holds.waitEntered(2));
    for (int i = 0; i < 10; ++i) queue.submit(piece(false));
    holds.release();
    for (int i = 0; i < 2000 && done.load() < 12; ++i) std::this_thread::sleep_for(5ms);
    queue.stop();
    EXPECT_EQ(done.load(), 12);
    EXPECT_EQ(threads.size(), 2u);
}

TEST(KoBoundedWorkQueue, AThrowingPieceEndsAndTheNextRuns) {
    KoKessaScheduler2 scheduler;
    std::atomic<bool> next{false};
    KoBoundedWorkQueue queue(scheduler, 1, "test");
    testing::internal::CaptureStderr();
    queue.submit([] { throw std::runtime_error("broken"); });
    queue.submit([&] { next = true; });
    for (int i = 0; i < 1000 && !next.load(); ++i) std::this_thread::sleep_for(5ms);
    queue.stop();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(next.load());
    EXPECT_NE(errors.find("test: broken"), std::string::npos) << errors;
}

TEST(KoBoundedWorkQueue, WorkMaySubmitMoreWork) {
    KoKessaScheduler2 scheduler;
    std::atomic<int> ran{0};
    KoBoundedWorkQueue queue(scheduler, 1, "test");
    queue.submit([&] {
        ++ran;
        queue.submit([&] { ++ran; });
    });
    for (int i = 0; i < 1000 && ran.load() < 2; ++i) std::this_thread::sleep_for(5ms);
    queue.stop();
    EXPECT_EQ(ran.load(), 2);
}

}  // namespace
