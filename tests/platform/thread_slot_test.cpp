#include "platform/thread_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<int> made{0};
std::atomic<int> destroyed{0};

// Holds heap memory, as the kept strings and caches do: a destructor run on
// freed storage (as thread_local ones are on Windows) corrupts the heap.
struct Kept {
    std::string text = std::string(200, 'k');
    std::vector<int> numbers = std::vector<int>(64, 7);
    Kept() { ++made; }
    ~Kept() {
        if (text == std::string(200, 'k') && numbers.size() == 64) ++destroyed;
    }
};

}  // namespace

// Many threads at once, round after round: each has an object of its own,
// the same one at every use, and it is destroyed (intact) before the
// thread's join returns.
TEST(ThreadSlot, EachThreadsObjectIsItsOwnAndIsDestroyedBeforeItsJoinReturns) {
    made = 0;
    destroyed = 0;
    constexpr int kRounds = 20;
    constexpr int kWidth = 16;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<const Kept*> seen(kWidth, nullptr);
        std::atomic<int> sameTwice{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kWidth; ++i) {
            threads.emplace_back([&, i] {
                Kept& first = platform::perThread<Kept>();
                if (&platform::perThread<Kept>() == &first) ++sameTwice;
                seen[i] = &first;
                // Outlives every other thread's start, so no two share an address by reuse.
                while (made.load() < (round + 1) * kWidth) std::this_thread::yield();
            });
        }
        for (std::thread& thread : threads) thread.join();
        ASSERT_EQ(destroyed.load(), (round + 1) * kWidth) << "round " << round;
        EXPECT_EQ(sameTwice.load(), kWidth);
        EXPECT_EQ(std::set<const Kept*>(seen.begin(), seen.end()).size(), static_cast<std::size_t>(kWidth));
    }
}
