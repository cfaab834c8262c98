// An idle or blocked system of jobs and scheduler must sleep, not spin.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "jobs/combined_task.h"
#include "jobs/job.h"
#include "jobs/job_with_timeout.h"
#include "jobs/kessa_scheduler.h"

namespace {

using namespace std::chrono_literals;
using Params = KoKessaJobParametersAndResult;

double cpuSecondsWhileSleeping(std::chrono::milliseconds span) {
    const std::clock_t before = std::clock();
    std::this_thread::sleep_for(span);
    return static_cast<double>(std::clock() - before) / CLOCKS_PER_SEC;
}

}  // namespace

TEST(KoKessaScheduler2, IdleAndBlockedSystemUsesNoProcessor) {
    std::mutex lock;
    std::condition_variable changed;
    bool release = false;
    auto blocked = [&](Params* p) {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return release; });
        return p;
    };

    KoKessaScheduler2 scheduler(KoKessaSchedulerSettings{.maxRunning = 1});
    // One item is delayed (after its first run), one runs and waits, and one
    // waits for a free slot.
    KoKessaJobOptions later;
    later.repeatMode = KoKessaRepeat;
    later.delayMillis = 600'000;
    const uint64_t first = scheduler.submit([](Params* p) { return p; }, nullptr, later);
    while (!scheduler.hasResult(first)) std::this_thread::sleep_for(1ms);
    const uint64_t running = scheduler.submit(blocked, nullptr, {});
    const uint64_t waiting = scheduler.submit(blocked, nullptr, {});
    while (scheduler.runningCount() != 1) std::this_thread::sleep_for(1ms);

    // Jobs in a joined task, and a dispatcher waiting for a busy target.
    KoJob owner;
    KoJobWithTimeout member(600'000'000);
    std::string joined;
    owner.createJoinedTask(joined, "idle");
    ASSERT_TRUE(member.attachToJoinedTask(joined));
    member.deliveryLock.lock();
    KoJobMessage message;
    message.code = 8;
    KoCombinedTask::instance().post(member.name, message);

    const double cpu = cpuSecondsWhileSleeping(2s);
    std::cout << "processor time while idle for 2 s: " << cpu << " s" << std::endl;
    EXPECT_LT(cpu, 0.2);

    member.deliveryLock.unlock();
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
        changed.notify_all();
    }
    EXPECT_NE(scheduler.cancelAndWait(first), nullptr);
    EXPECT_NE(scheduler.cancelAndWait(running), nullptr);
    EXPECT_NE(scheduler.cancelAndWait(waiting), nullptr);
}
