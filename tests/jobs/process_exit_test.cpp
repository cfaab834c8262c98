// The dispatcher must let the process end cleanly: no hang, no crash and no
// use of destroyed objects, whatever jobs and messages are left at exit.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "jobs/combined_task.h"
#include "jobs/job.h"
#include "jobs/kessa_scheduler.h"
#include "jobs/no_destructor.h"
#include "recording_job.h"

namespace {

void exitWithMessagesInFlight() {
    // Function-local statics: destroyed at exit while the dispatcher still runs.
    static RecordingJob owner;
    static RecordingJob member;
    static RecordingJob held;
    std::string joined;
    owner.createJoinedTask(joined, "exit");
    member.attachToJoinedTask(joined);
    held.attachToJoinedTask(joined);
    member.onReceive = [](KoJobMessage&) { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
    // A thread that holds one job's lock until the process ends, so that the
    // dispatcher is waiting for it at exit.
    // (Its mutex and condition variable are never destroyed: it still waits
    // on them while static destructors run.)
    static velko::NoDestructor<std::mutex> lock;
    static velko::NoDestructor<std::condition_variable> never;
    std::thread([] {
        std::lock_guard<KoDeliveryLock> hold(held.deliveryLock);
        std::unique_lock<std::mutex> guard(lock.get());
        never->wait(guard, [] { return false; });
    }).detach();
    while (held.deliveryLock.try_lock()) {
        held.deliveryLock.unlock();
        std::this_thread::yield();
    }
    for (int i = 0; i < 200; ++i) {
        KoCombinedTask::instance().post(member.name, textMessage("m"));
        if (i == 100) KoCombinedTask::instance().post(held.name, textMessage("h"));
    }
    std::exit(0);
}

void exitWithSchedulerAndJobsAlive() {
    static KoKessaScheduler2 scheduler;
    KoKessaJobOptions options;
    options.repeatMode = KoKessaRepeat;
    options.delayMillis = 5;
    scheduler.submit([](KoKessaJobParametersAndResult* p) { return p; }, nullptr, options);
    static RecordingJob owner;
    std::string joined;
    owner.createJoinedTask(joined, "exit");
    for (int i = 0; i < 50; ++i) KoCombinedTask::instance().post(owner.name, textMessage("m"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::exit(3);
}

}  // namespace

TEST(KoCombinedTask, ProcessEndsWithMessagesInFlightAndABusyTarget) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithMessagesInFlight(), ::testing::ExitedWithCode(0), "");
}

TEST(KoCombinedTask, ProcessEndsWithSchedulerAndJobsAlive) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithSchedulerAndJobsAlive(), ::testing::ExitedWithCode(3), "");
}
