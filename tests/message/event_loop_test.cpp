#include "message/event_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

using namespace std::chrono_literals;
using Clock = KoEventLoop::Clock;

namespace {

// A loop running on a thread of its own for the length of a test.
struct RunningLoop {
    KoEventLoop loop;
    std::thread thread{[this] { loop.run(); }};
    ~RunningLoop() {
        loop.stop();
        thread.join();
    }
    // Runs f on the loop and waits for its result.
    template <class F>
    auto On(F f) -> decltype(f()) {
        std::promise<decltype(f())> done;
        auto result = done.get_future();
        EXPECT_TRUE(loop.post([&] {
            if constexpr (std::is_void_v<decltype(f())>) {
                f();
                done.set_value();
            } else {
                done.set_value(f());
            }
        }));
        return result.get();
    }
};

struct RecordingTimer : KoEventLoop::Timer {
    explicit RecordingTimer(int id, std::vector<int>& fired) : id(id), fired(fired) {}
    void expired() override { fired.push_back(id); }
    int id;
    std::vector<int>& fired;
};

}  // namespace

TEST(KoEventLoop, RunsPostedTasksInOrderOnItsThread) {
    RunningLoop running;
    std::vector<int> order;
    std::promise<void> done;
    for (int i = 0; i < 100; ++i) {
        running.loop.post([&, i] {
            EXPECT_TRUE(running.loop.onLoopThread());
            EXPECT_EQ(KoEventLoop::current(), &running.loop);
            order.push_back(i);
            if (i == 99) done.set_value();
        });
    }
    done.get_future().wait();
    ASSERT_EQ(order.size(), 100u);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_FALSE(running.loop.onLoopThread());
    EXPECT_EQ(KoEventLoop::current(), nullptr);
}

TEST(KoEventLoop, AfterStopATaskIsDroppedNotRun) {
    KoEventLoop loop;
    loop.stop();
    auto held = std::make_shared<int>(1);
    bool ran = false;
    EXPECT_FALSE(loop.post([&ran, held] { ran = true; }));
    EXPECT_EQ(held.use_count(), 1) << "the task and what it held are gone";
    loop.run();  // returns at once
    EXPECT_FALSE(ran);
}

// A task posted to a loop whose thread never came (its job was ended before
// it ran) was kept until the loop was destroyed: whoever waited for the
// task to run or go waited for ever (a server's stop hung).
TEST(KoEventLoop, TasksOfALoopThatNeverRanAreDroppedWhenItStops) {
    KoEventLoop loop;
    std::promise<void> done;
    auto outcome = done.get_future();
    auto held = std::make_shared<std::promise<void>>(std::move(done));
    EXPECT_TRUE(loop.post([held] { held->set_value(); }));
    held.reset();
    loop.stop();
    ASSERT_EQ(outcome.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_THROW(outcome.get(), std::future_error);
}

TEST(KoEventLoop, TasksQueuedWhenItStopsAreDroppedWithWhatTheyHold) {
    auto held = std::make_shared<int>(1);
    {
        KoEventLoop loop;
        std::promise<void> inFirst;
        std::promise<void> release;
        auto released = release.get_future().share();
        std::thread thread([&] { loop.run(); });
        loop.post([&] {
            inFirst.set_value();
            released.wait();
        });
        inFirst.get_future().wait();
        EXPECT_TRUE(loop.post([held] {}));
        loop.stop();
        release.set_value();
        thread.join();
        EXPECT_EQ(held.use_count(), 1);
    }
}

TEST(KoEventLoop, TimersFireInDueOrder) {
    KoEventLoop loop;
    std::vector<int> fired;
    std::vector<std::unique_ptr<RecordingTimer>> timers;
    const auto start = Clock::now();
    const int offsets[] = {50, 10, 30, 20, 40};
    for (int i = 0; i < 5; ++i) {
        timers.push_back(std::make_unique<RecordingTimer>(offsets[i], fired));
        loop.arm(*timers.back(), start + std::chrono::milliseconds(offsets[i]));
    }
    EXPECT_EQ(loop.armedTimers(), 5u);
    std::thread thread([&] { loop.run(); });
    std::this_thread::sleep_for(200ms);
    loop.stop();
    thread.join();
    EXPECT_EQ(fired, (std::vector<int>{10, 20, 30, 40, 50}));
    EXPECT_EQ(loop.armedTimers(), 0u);
    EXPECT_GE(Clock::now() - start, 50ms);
}

TEST(KoEventLoop, ATimerMovedLaterFiresLaterAndOneMovedEarlierFiresEarlier) {
    RunningLoop running;
    std::vector<int> fired;
    RecordingTimer later(1, fired);
    RecordingTimer earlier(2, fired);
    RecordingTimer disarmed(3, fired);
    const auto start = Clock::now();
    running.On([&] {
        running.loop.arm(later, start + 20ms);
        running.loop.arm(later, start + 150ms);  // pushed back
        running.loop.arm(earlier, start + 400ms);
        running.loop.arm(earlier, start + 60ms);  // brought forward
        running.loop.arm(disarmed, start + 30ms);
        running.loop.disarm(disarmed);
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(running.On([&] { return fired; }), std::vector<int>{2});
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(running.On([&] { return fired; }), (std::vector<int>{2, 1}));
    EXPECT_FALSE(running.On([&] { return later.armed() || earlier.armed() || disarmed.armed(); }));
}

TEST(KoEventLoop, TheHeapKeepsItsOrderUnderRandomArmsAndDisarms) {
    // Table of operations drawn at random, replayed against a plain sorted
    // model: the heap must fire exactly the model's due timers, in order.
    KoEventLoop loop;
    std::mt19937 random(12345);
    std::vector<int> fired;
    std::vector<std::unique_ptr<RecordingTimer>> timers;
    for (int i = 0; i < 300; ++i) timers.push_back(std::make_unique<RecordingTimer>(i, fired));
    const auto base = Clock::now() + 50ms;
    std::vector<std::pair<Clock::time_point, int>> model(timers.size(), {Clock::time_point::max(), -1});
    for (int step = 0; step < 5000; ++step) {
        const int which = static_cast<int>(random() % timers.size());
        if (random() % 4 == 0) {
            loop.disarm(*timers[which]);
            model[which] = {Clock::time_point::max(), -1};
        } else {
            const auto due = base + std::chrono::microseconds(random() % 100000);
            loop.arm(*timers[which], due);
            model[which] = {due, which};
        }
    }
    std::vector<std::pair<Clock::time_point, int>> expected;
    for (const auto& entry : model)
        if (entry.second >= 0) expected.push_back(entry);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(loop.armedTimers(), expected.size());
    std::thread thread([&] { loop.run(); });
    std::this_thread::sleep_for(400ms);
    loop.stop();
    thread.join();
    ASSERT_EQ(fired.size(), expected.size());
    // In the order of their deadlines, also when the loop is late (under a
    // sanitizer or a busy machine) and several are due at once.
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(model[fired[i]].first, expected[i].first) << i;
}

TEST(KoEventLoop, IdlersExpireOldestFirstAndUnrestingSavesThem) {
    struct Sleeper : KoEventLoop::Idler {
        int id = 0;
        std::vector<int>* expired = nullptr;
        void idleExpired() override { expired->push_back(id); }
    };
    RunningLoop running;
    std::vector<int> expired;
    Sleeper sleepers[4];
    running.On([&] {
        running.loop.setIdleTimeout(100ms);
        for (int i = 0; i < 4; ++i) {
            sleepers[i].id = i;
            sleepers[i].expired = &expired;
            running.loop.rest(sleepers[i]);
        }
        running.loop.unrest(sleepers[1]);
        running.loop.rest(sleepers[0]);  // rests anew, behind the others
        EXPECT_EQ(running.loop.restingCount(), 3u);
        EXPECT_EQ(running.loop.oldestResting(), &sleepers[2]);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(running.On([&] { return expired; }), (std::vector<int>{2, 3, 0}));
    EXPECT_EQ(running.On([&] { return running.loop.restingCount(); }), 0u);
    EXPECT_FALSE(sleepers[1].resting());
}

// Connections let go of what they keep for their next request when told
// that the loop is quiet, not each time they rest (after every request of
// a busy client): once per rest, and only the newly rested are told.
TEST(KoEventLoop, RestingIdlersAreToldOnceWhenTheLoopGoesQuiet) {
    struct Sleeper : KoEventLoop::Idler {
        int quiets = 0;
        void idleExpired() override {}
        void quiet() override { ++quiets; }
    };
    RunningLoop running;
    Sleeper sleepers[3];
    running.On([&] {
        running.loop.setIdleTimeout(1h);
        running.loop.rest(sleepers[0]);
        running.loop.rest(sleepers[1]);
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(running.On([&] { return std::vector<int>{sleepers[0].quiets, sleepers[1].quiets}; }),
              (std::vector<int>{1, 1}));
    running.On([&] {
        running.loop.rest(sleepers[2]);
        running.loop.rest(sleepers[0]);  // rests anew: told again
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(running.On([&] {
        return std::vector<int>{sleepers[0].quiets, sleepers[1].quiets, sleepers[2].quiets};
    }),
              (std::vector<int>{2, 1, 1}));
    running.On([&] {
        for (Sleeper& sleeper : sleepers) running.loop.unrest(sleeper);
    });
}

TEST(KoEventLoop, AnIdleLoopWaitsWithoutPassing) {
    // A loop that polls passes hundreds of times a second; this one passes
    // only for readiness, posts and deadlines.
    RunningLoop running;
    struct Far : KoEventLoop::Timer {
        void expired() override {}
    } far;
    running.On([&] { running.loop.arm(far, Clock::now() + 1h); });
    const auto before = running.loop.passes();
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(running.loop.passes() - before, 1u);
    running.On([&] { running.loop.disarm(far); });
}

TEST(KoEventLoop, AReadyDescriptorCallsItsWatcher) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    struct Reader : KoEventLoop::Watcher {
        int fd = -1;
        std::promise<std::string> got;
        void ready(unsigned events) override {
            EXPECT_TRUE(events & platform::readable);
            char buffer[16];
            auto read = platform::receiveSome(fd, buffer, sizeof buffer);
            got.set_value(std::string(buffer, read.bytes));
            KoEventLoop::current()->unwatch(fd);
        }
    } reader;
    reader.fd = pair.value().first.get();
    RunningLoop running;
    EXPECT_TRUE(running.On([&] { return running.loop.watch(reader.fd, platform::readable, reader); }));
    platform::sendSome(pair.value().second.get(), "ping", 4);
    auto future = reader.got.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), "ping");
}

TEST(KoEventLoop, LogLinesAreWrittenOncePerPassAndNoneIsLostAtStop) {
    std::mutex lock;
    std::vector<std::string> writes;
    auto loop = std::make_unique<KoEventLoop>();
    loop->setLogWriter([&](std::string_view lines) {
        std::lock_guard<std::mutex> guard(lock);
        writes.emplace_back(lines);
    });
    std::thread thread([&] { loop->run(); });
    std::promise<void> done;
    loop->post([&] {
        for (int i = 0; i < 3; ++i) loop->log("line " + std::to_string(i));
        done.set_value();
    });
    done.get_future().wait();
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_EQ(writes.size(), 1u) << "one write for the pass";
        EXPECT_EQ(writes[0], "line 0\nline 1\nline 2\n");
    }
    // Lines of the last pass are written when the loop stops.
    loop->post([&] {
        loop->log("last");
        loop->stop();
    });
    thread.join();
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1], "last\n");
}

TEST(KoEventLoop, ABufferOfManyLinesIsWrittenWithinThePass) {
    KoEventLoop loop;
    std::size_t written = 0;
    int calls = 0;
    loop.setLogWriter([&](std::string_view lines) {
        written += lines.size();
        ++calls;
    });
    const std::string line(1000, 'x');
    for (int i = 0; i < 100; ++i) loop.log(line);
    EXPECT_GE(calls, 1);
    loop.flushLog();
    EXPECT_EQ(written, 100u * 1001u);
}

// A timer or idler destroyed while registered stayed in the loop's heap or
// idle list, which then reached through freed memory.
TEST(KoEventLoop, TimersAndIdlersThatGoLeaveTheirLoop) {
    struct Sleeper : KoEventLoop::Idler {
        void idleExpired() override {}
    };
    struct Far : KoEventLoop::Timer {
        void expired() override {}
    };
    RunningLoop running;
    running.On([&] {
        Sleeper kept;
        running.loop.rest(kept);
        for (int i = 0; i < 3; ++i) {
            auto timer = std::make_unique<Far>();
            auto idler = std::make_unique<Sleeper>();
            running.loop.arm(*timer, Clock::now() + 1h);
            running.loop.rest(*idler);
        }
        EXPECT_EQ(running.loop.armedTimers(), 0u);
        EXPECT_EQ(running.loop.restingCount(), 1u);
        EXPECT_EQ(running.loop.oldestResting(), &kept);
        running.loop.unrest(kept);
        EXPECT_EQ(running.loop.oldestResting(), nullptr);
    });
    // One that outlives its loop is forgotten by it, not reached back into.
    Far late;
    {
        KoEventLoop loop;
        loop.arm(late, Clock::now() + 1h);
    }
    EXPECT_FALSE(late.armed());
}

TEST(KoEventLoop, KeepsOneObjectPerKeyUntilTakenOrTheLoopEnds) {
    const char first = 0, second = 0;
    auto a = std::make_shared<int>(1);
    auto b = std::make_shared<int>(2);
    auto c = std::make_shared<int>(3);
    {
        RunningLoop running;
        running.On([&] {
            running.loop.keep(&first, a);
            running.loop.keep(&second, b);
            running.loop.keep(&first, c);  // replaces a
        });
        EXPECT_EQ(a.use_count(), 1);
        running.On([&] {
            EXPECT_EQ(running.loop.take(&first), c);
            EXPECT_EQ(running.loop.take(&first), nullptr);
            running.loop.keep(&first, a);
        });
        EXPECT_EQ(a.use_count(), 2);
        EXPECT_EQ(b.use_count(), 2);
    }
    EXPECT_EQ(a.use_count(), 1) << "let go of when the loop ended";
    EXPECT_EQ(b.use_count(), 1);
}
