#include "foundation/small_lock.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

TEST(KoSmallLock, IsHeldUntilUnlockedAndNotRecursive) {
    KoSmallLock lock;
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    std::async(std::launch::async, [&] { EXPECT_FALSE(lock.try_lock()); }).get();
    lock.unlock();
    std::async(std::launch::async, [&] {
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    }).get();
}

// Many threads that each take it often, most of them while it is held: no
// increment is lost, and every sleeper is woken (the test ends).
TEST(KoSmallLock, ContendedThreadsExcludeEachOtherAndAllFinish) {
    KoSmallLock lock;
    long counter = 0;  // guarded by lock, not atomic: a lost update shows
    constexpr int threads = 8, rounds = 20'000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                std::lock_guard<KoSmallLock> guard(lock);
                const long seen = counter;
                if (i % 64 == 0) std::this_thread::yield();  // holds it while others queue
                counter = seen + 1;
            }
        });
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(counter, long{threads} * rounds);
    EXPECT_TRUE(lock.try_lock());
}
