#include "jobs/reusable_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "foundation/diagnostics.h"
#include "jobs/kessa_scheduler.h"

namespace {

using namespace std::chrono_literals;
using Params = KoKessaJobParametersAndResult;

// Tells threads apart: a new thread may get the std::thread::id of one that
// was joined before it, but not its thread-local values.
int threadSerial() {
    static std::atomic<int> next{0};
    thread_local const int mine = ++next;
    return mine;
}

// Records the threads that items ran on; a round of `width` items holds
// each of them until all `width` have started, which only happens when no
// item waits for another to free its thread.
class Rounds {
public:
    explicit Rounds(int width) : width_(width) {}

    Params* enter(Params* p) {
        std::unique_lock<std::mutex> guard(lock_);
        threads_.insert(threadSerial());
        ++inRound_;
        changed_.notify_all();
        if (!changed_.wait_for(guard, 10s, [&] { return inRound_ >= width_; })) stalled_ = true;
        return p;
    }
    void nextRound() {
        std::lock_guard<std::mutex> guard(lock_);
        inRound_ = 0;
    }
    std::size_t distinctThreads() {
        std::lock_guard<std::mutex> guard(lock_);
        return threads_.size();
    }
    bool stalled() {
        std::lock_guard<std::mutex> guard(lock_);
        return stalled_;
    }

private:
    const int width_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::set<int> threads_;
    int inRound_ = 0;
    bool stalled_ = false;
};

// Sets a flag when the thread that first touched it ends.
struct ThreadEndFlag {
    std::shared_ptr<std::atomic<int>> ended;
    ~ThreadEndFlag() {
        if (ended) ++*ended;
    }
};
thread_local ThreadEndFlag threadEnd;

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 10'000 && !condition(); ++i) std::this_thread::sleep_for(1ms);
    return condition();
}

// Waits for an item to end by itself and takes its result.
std::unique_ptr<Params> finish(KoKessaScheduler2& scheduler, uint64_t number) {
    if (!eventually([&] { return scheduler.hasResult(number); })) return nullptr;
    return scheduler.takeResult(number);
}

}  // namespace

TEST(KoKessaScheduler2, ItemsStartAtOnceOnReusedThreads) {
    struct Row {
        const char* what;
        int rounds;
        int width;           // items submitted together, each blocking until all started
        std::size_t atMost;  // distinct threads over all rounds
    };
    const Row rows[] = {
        {"200 short items one after the other", 200, 1, 8},
        {"16 items that block together", 1, 16, 16 + 8},
        {"20 rounds of 4 blocking items", 20, 4, 4 + 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.idleThreadLinger = 1h});
        Rounds rounds(row.width);
        for (int round = 0; round < row.rounds; ++round) {
            std::vector<uint64_t> numbers;
            for (int i = 0; i < row.width; ++i) {
                numbers.push_back(scheduler.submit([&](Params* p) { return rounds.enter(p); }, nullptr, {}));
            }
            for (uint64_t number : numbers) ASSERT_NE(finish(scheduler, number), nullptr);
            rounds.nextRound();
        }
        EXPECT_FALSE(rounds.stalled());
        EXPECT_GE(rounds.distinctThreads(), static_cast<std::size_t>(row.width));
        EXPECT_LE(rounds.distinctThreads(), row.atMost);
    }
}

TEST(KoKessaScheduler2, DestructionJoinsLingeringThreads) {
    auto ended = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> started{0};
    {
        KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.idleThreadLinger = 1h});
        Rounds rounds(3);
        std::vector<uint64_t> numbers;
        for (int i = 0; i < 3; ++i) {
            numbers.push_back(scheduler.submit(
                [&](Params* p) {
                    threadEnd.ended = ended;
                    ++started;
                    return rounds.enter(p);
                },
                nullptr, {}));
        }
        for (uint64_t number : numbers) ASSERT_NE(finish(scheduler, number), nullptr);
        EXPECT_EQ(ended->load(), 0);  // idle, lingering for an hour
    }
    EXPECT_EQ(started.load(), 3);
    EXPECT_EQ(ended->load(), 3);
}

TEST(KoReusableThreads, IdleThreadsEndAfterTheirLingerAndTheNextTaskStartsAnother) {
    auto ended = std::make_shared<std::atomic<int>>(0);
    KoReusableThreads threads("test", 1ms);
    std::atomic<int> ran{0};
    for (int i = 0; i < 2; ++i) {
        threads.run([&] {
            threadEnd.ended = ended;
            ++ran;
        });
        ASSERT_TRUE(eventually([&] { return ended->load() == i + 1; }));
        EXPECT_TRUE(eventually([&] { return threads.threadCount() == 0; }));
    }
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(threads.idleCount(), 0u);
}

TEST(KoReusableThreads, ATaskMayRunMoreAndAThrowingTaskKeepsItsThread) {
    std::atomic<int> ran{0};
    std::mutex lock;
    std::vector<std::string> lines;
    const auto previous = setDiagnosticSink([&](std::string_view line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(line);
    });
    {
        KoReusableThreads threads("test");
        threads.run([&] {
            threads.run([&] { ++ran; });
            throw std::runtime_error("broken");
        });
        ASSERT_TRUE(eventually([&] { return ran.load() == 1 && threads.idleCount() == threads.threadCount(); }));
        threads.run([&] { ++ran; });
        EXPECT_LE(threads.threadCount(), 2u);
    }
    setDiagnosticSink(previous);
    EXPECT_EQ(ran.load(), 2);
    EXPECT_EQ(lines, std::vector<std::string>{"test: broken"});
}
