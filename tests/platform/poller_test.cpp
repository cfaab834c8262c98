#include "platform/poller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/wake_up.h"

namespace {

std::vector<platform::SocketPair> pairs(int count) {
    std::vector<platform::SocketPair> result;
    for (int i = 0; i < count; ++i) {
        auto pair = platform::socketPair();
        EXPECT_TRUE(pair.ok());
        result.push_back(std::move(pair.value()));
    }
    return result;
}

}  // namespace

TEST(WaitDescriptor, TimesOutThenSeesData) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    auto idle = platform::waitDescriptor(pair.value().first.get(), platform::readable, 1);
    ASSERT_TRUE(idle.ok());
    EXPECT_EQ(idle.value(), 0u);
    platform::sendSome(pair.value().second.get(), "x", 1);
    auto ready = platform::waitDescriptor(pair.value().first.get(), platform::readable, 5000);
    EXPECT_TRUE(ready.value() & platform::readable);
    // A fresh stream socket can always take bytes.
    auto writable = platform::waitDescriptor(pair.value().first.get(), platform::writable, 0);
    EXPECT_TRUE(writable.value() & platform::writable);
}

TEST(WaitDescriptor, ReportsHangupWhateverTheInterest) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    pair.value().second.reset();
    auto ready = platform::waitDescriptor(pair.value().first.get(), platform::writable, 5000);
    EXPECT_TRUE(ready.value() & platform::hangup);
}

TEST(Poller, ReportsOnlyReadyDescriptorsWithTheirTags) {
    auto sockets = pairs(3);
    platform::Poller poller;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(poller.add(sockets[i].first.get(), platform::readable, 100 + i));
    EXPECT_FALSE(poller.add(sockets[0].first.get(), platform::readable, 7));
    EXPECT_FALSE(poller.add(-1, platform::readable, 7));
    EXPECT_EQ(poller.size(), 3u);

    std::vector<platform::Poller::Event> events;
    auto none = poller.wait(0, events);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.value(), 0u);

    platform::sendSome(sockets[1].second.get(), "x", 1);
    auto one = poller.wait(5000, events);
    ASSERT_EQ(one.value(), 1u);
    EXPECT_EQ(events[0].fd, sockets[1].first.get());
    EXPECT_EQ(events[0].tag, 101u);
    EXPECT_TRUE(events[0].ready & platform::readable);
}

TEST(Poller, RemovingFromTheMiddleKeepsTheOthers) {
    auto sockets = pairs(4);
    platform::Poller poller;
    for (int i = 0; i < 4; ++i) poller.add(sockets[i].first.get(), platform::readable, i);
    EXPECT_TRUE(poller.remove(sockets[1].first.get()));
    EXPECT_FALSE(poller.remove(sockets[1].first.get()));
    EXPECT_FALSE(poller.contains(sockets[1].first.get()));
    EXPECT_TRUE(poller.contains(sockets[3].first.get()));
    EXPECT_EQ(poller.size(), 3u);

    for (auto& pair : sockets) platform::sendSome(pair.second.get(), "x", 1);
    std::vector<platform::Poller::Event> events;
    ASSERT_EQ(poller.wait(5000, events).value(), 3u);
    std::vector<std::uint64_t> tags;
    for (const auto& event : events) {
        tags.push_back(event.tag);
        EXPECT_EQ(event.fd, sockets[event.tag].first.get());
    }
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(tags, (std::vector<std::uint64_t>{0, 2, 3}));
}

TEST(Poller, AForgottenDescriptorLeavesTheSetByClosing) {
    auto sockets = pairs(2);
    platform::Poller poller;
    const int forgotten = sockets[0].first.get();
    ASSERT_TRUE(poller.add(forgotten, platform::readable, 0));
    ASSERT_TRUE(poller.add(sockets[1].first.get(), platform::readable, 1));
    EXPECT_TRUE(poller.forget(forgotten));
    EXPECT_FALSE(poller.forget(forgotten));
    EXPECT_FALSE(poller.contains(forgotten));
    EXPECT_EQ(poller.size(), 1u);
    sockets[0].first.reset();

    // Its number, taken by a new socket, is watched afresh.
    auto reused = platform::socketPair();
    ASSERT_TRUE(reused.ok());
    ASSERT_EQ(reused.value().first.get(), forgotten);
    ASSERT_TRUE(poller.add(forgotten, platform::readable, 2));
    platform::sendSome(reused.value().second.get(), "x", 1);
    platform::sendSome(sockets[1].second.get(), "x", 1);
    std::vector<platform::Poller::Event> events;
    ASSERT_EQ(poller.wait(5000, events).value(), 2u);
    std::vector<std::uint64_t> tags;
    for (const auto& event : events) tags.push_back(event.tag);
    std::sort(tags.begin(), tags.end());
    EXPECT_EQ(tags, (std::vector<std::uint64_t>{1, 2}));
    // Nothing else is left in the kernel's set: with all read, a wait times out.
    char byte = 0;
    platform::receiveSome(reused.value().first.get(), &byte, 1);
    platform::receiveSome(sockets[1].first.get(), &byte, 1);
    EXPECT_EQ(poller.wait(0, events).value(), 0u);
}

TEST(Poller, ModifyChangesTheInterest) {
    auto sockets = pairs(1);
    platform::Poller poller;
    poller.add(sockets[0].first.get(), platform::readable, 1);
    std::vector<platform::Poller::Event> events;
    EXPECT_EQ(poller.wait(0, events).value(), 0u);
    EXPECT_TRUE(poller.modify(sockets[0].first.get(), platform::readable | platform::writable));
    ASSERT_EQ(poller.wait(0, events).value(), 1u);
    EXPECT_TRUE(events[0].ready & platform::writable);
    EXPECT_FALSE(poller.modify(-5, platform::readable));
}

TEST(WakeUp, WakesAWaitingPollerFromAnotherThread) {
    platform::WakeUp wakeUp;
    ASSERT_TRUE(wakeUp.valid()) << wakeUp.error().text();
    platform::Poller poller;
    poller.add(wakeUp.fd(), platform::readable, 42);

    std::thread signaller([&wakeUp] {
        for (int i = 0; i < 3; ++i) wakeUp.signal();
    });
    std::vector<platform::Poller::Event> events;
    auto woken = poller.wait(10000, events);
    signaller.join();
    ASSERT_EQ(woken.value(), 1u);
    EXPECT_EQ(events[0].tag, 42u);

    // Signals coalesce; one drain makes it quiet again.
    wakeUp.drain();
    EXPECT_EQ(poller.wait(0, events).value(), 0u);
    wakeUp.signal();
    EXPECT_EQ(poller.wait(0, events).value(), 1u);
}

TEST(WaitDescriptors, ReportsEachReadyDescriptorAndSkipsNegativeOnes) {
    auto quiet = platform::socketPair();
    auto busy = platform::socketPair();
    ASSERT_TRUE(quiet.ok() && busy.ok());
    platform::sendSome(busy.value().second.get(), "x", 1);
    const int fds[3] = {quiet.value().first.get(), -1, busy.value().first.get()};
    unsigned ready[3] = {9, 9, 9};
    auto waited = platform::waitDescriptors(fds, ready, 3, platform::readable, 5000);
    ASSERT_TRUE(waited.ok());
    EXPECT_EQ(waited.value(), 1u);
    EXPECT_EQ(ready[0], 0u);
    EXPECT_EQ(ready[1], 0u);
    EXPECT_TRUE(ready[2] & platform::readable);
    // Nothing ready: the time-out ends the wait with nothing reported.
    platform::receiveSome(busy.value().first.get(), ready, 1);
    auto idle = platform::waitDescriptors(fds, ready, 3, platform::readable, 1);
    ASSERT_TRUE(idle.ok());
    EXPECT_EQ(idle.value(), 0u);
}

TEST(Poller, RefusesADescriptorItCannotWatch) {
    platform::Poller poller;
    int closed = -1;
    {
        auto pair = platform::socketPair();
        ASSERT_TRUE(pair.ok());
        closed = pair.value().first.get();
    }
    EXPECT_FALSE(poller.add(closed, platform::readable, 1));
    EXPECT_FALSE(poller.contains(closed));
    EXPECT_EQ(poller.size(), 0u);
}

TEST(Poller, AWaitReportsOnlyWhatIsReadyAmongManyIdle) {
    auto all = pairs(200);
    platform::Poller poller;
    for (std::size_t i = 0; i < all.size(); ++i)
        ASSERT_TRUE(poller.add(all[i].first.get(), platform::readable, 1000 + i));
    platform::sendSome(all[137].second.get(), "y", 1);
    std::vector<platform::Poller::Event> events;
    auto waited = poller.wait(5000, events);
    ASSERT_TRUE(waited.ok());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].tag, 1137u);
    EXPECT_EQ(events[0].fd, all[137].first.get());
    // Level-triggered: still ready until it is read.
    ASSERT_TRUE(poller.wait(0, events).ok());
    EXPECT_EQ(events.size(), 1u);
}

TEST(Poller, AnExclusiveDescriptorWakesOneOfTheWaitingPollers) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    const int fd = pair.value().first.get();
    platform::Poller first;
    platform::Poller second;
    ASSERT_TRUE(first.add(fd, platform::readable | platform::exclusive, 1));
    ASSERT_TRUE(second.add(fd, platform::readable | platform::exclusive, 2));
    EXPECT_EQ(first.interest(fd), platform::readable | platform::exclusive);
    // Its interest is fixed once added.
    EXPECT_FALSE(first.modify(fd, platform::writable));

    // Both wait; one readiness wakes one of them.
    std::atomic<int> woken{0};
    auto waiter = [&](platform::Poller& poller) {
        std::vector<platform::Poller::Event> events;
        auto waited = poller.wait(1500, events);
        if (waited.ok() && waited.value() > 0) ++woken;
    };
    std::thread a(waiter, std::ref(first));
    std::thread b(waiter, std::ref(second));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    platform::sendSome(pair.value().second.get(), "x", 1);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(first.interest(12345), 0u);
}

TEST(Poller, APeerThatFinishesSendingIsReportedReadableAndHungUp) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    platform::Poller poller;
    ASSERT_TRUE(poller.add(pair.value().first.get(), platform::readable, 9));
    platform::shutdownSending(pair.value().second.get());
    std::vector<platform::Poller::Event> events;
    auto waited = poller.wait(2000, events);
    ASSERT_TRUE(waited.ok());
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].ready & platform::readable);
    EXPECT_TRUE(events[0].ready & platform::hangup);
}
