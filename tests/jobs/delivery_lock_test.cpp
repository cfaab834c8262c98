#include "jobs/delivery_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

TEST(KoDeliveryLock, IsRecursiveForItsHolderOnly) {
    KoDeliveryLock lock;
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    EXPECT_TRUE(lock.heldByMe());
    std::async(std::launch::async, [&] { EXPECT_FALSE(lock.try_lock()); }).get();
    lock.unlock();
    std::async(std::launch::async, [&] { EXPECT_FALSE(lock.try_lock()); }).get();
    lock.unlock();
    EXPECT_FALSE(lock.heldByMe());
    std::async(std::launch::async, [&] {
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    }).get();
}

// Its count has a bound: past it the holder is refused, and the count stays
// right, so the lock is free again after as many unlocks as locks.
TEST(KoDeliveryLock, HoldingItPastItsDepthIsRefusedAndLeavesTheCountRight) {
    KoDeliveryLock lock;
    for (unsigned i = 0; i < KoDeliveryLock::maxDepth; ++i) lock.lock();
    EXPECT_FALSE(lock.try_lock());
    EXPECT_THROW(lock.lock(), std::system_error);
    for (unsigned i = 0; i < KoDeliveryLock::maxDepth; ++i) lock.unlock();
    EXPECT_FALSE(lock.heldByMe());
    std::async(std::launch::async, [&] {
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    }).get();
}

TEST(KoDeliveryLock, WaiterGetsTheLockWhenReleased) {
    KoDeliveryLock lock;
    std::atomic<bool> giveUp{false};
    lock.lock();
    auto waiter = std::async(std::launch::async, [&] {
        const bool taken = lock.lockUnless(giveUp);
        if (taken) lock.unlock();
        return taken;
    });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    lock.unlock();
    EXPECT_TRUE(waiter.get());
}

TEST(KoDeliveryLock, WaiterGivesUpWhenTold) {
    KoDeliveryLock lock;
    std::atomic<bool> giveUp{false};
    std::unique_lock<KoDeliveryLock> held(lock);
    auto waiter = std::async(std::launch::async, [&] { return lock.lockUnless(giveUp); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    giveUp.store(true);
    lock.wakeWaiters();
    EXPECT_FALSE(waiter.get());
    EXPECT_TRUE(lock.heldByMe());
}

TEST(KoDeliveryLock, ExcludesAcrossManyThreads) {
    KoDeliveryLock lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                std::lock_guard<KoDeliveryLock> outer(lock);
                std::lock_guard<KoDeliveryLock> inner(lock);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 20000);
}
