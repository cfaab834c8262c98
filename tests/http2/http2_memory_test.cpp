#include "http2/http2_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

bool Aligned(const void* p) { return reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t) == 0; }

TEST(KoHttp2Memory, AFreedBlockServesTheNextOfItsClassOnly) {
    struct Case {
        std::size_t first;
        std::size_t second;
        bool kept;
        bool reused;
    };
    const Case cases[] = {
        {1, 1, true, true},       {10, 16, true, true},    {100, 90, true, true},
        {200, 1000, true, false}, {3000, 3050, true, true}, {16, 4000, true, false},
        {5000, 5000, false, false},  // above largestKept: malloc's
        // Classes go up by half powers of two: a block is rounded up by at
        // most a third, so one a third larger is of the next class.
        {50, 60, true, true},     {50, 90, true, false},   {100, 170, true, false},
        {130, 170, true, true},   {300, 360, true, true},  {300, 400, true, false},
        {2100, 3000, true, true}, {2100, 3500, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " then " << c.second);
        KoHttp2Memory memory;
        void* a = memory.allocate(c.first);
        ASSERT_NE(a, nullptr);
        EXPECT_TRUE(Aligned(a));
        std::memset(a, 0x5a, c.first);
        memory.free(a);
        EXPECT_EQ(memory.kept() > 0, c.kept);
        void* b = memory.allocateZeroed(1, c.second);
        ASSERT_NE(b, nullptr);
        if (c.reused) {
            EXPECT_EQ(a, b);
        }
        // A reused block given as zeroed is zeroed.
        const auto* bytes = static_cast<const unsigned char*>(b);
        for (std::size_t i = 0; i < c.second; ++i) ASSERT_EQ(bytes[i], 0) << i;
        memory.free(b);
    }
}

TEST(KoHttp2Memory, ReallocationKeepsTheBytesAndTheListsStayBounded) {
    KoHttp2Memory memory;
    char* block = static_cast<char*>(memory.reallocate(nullptr, 20));
    std::memcpy(block, "nineteen characters", 20);
    EXPECT_EQ(memory.reallocate(block, 24), block);  // still within its class
    for (std::size_t size : {200u, 3000u, 9000u, 100u}) {
        block = static_cast<char*>(memory.reallocate(block, size));
        ASSERT_NE(block, nullptr);
        EXPECT_STREQ(block, "nineteen characters") << size;
    }
    memory.free(block);

    // Far more freed than the bound: the lists keep at most the bound.
    std::vector<void*> blocks;
    for (int i = 0; i < 100; ++i) blocks.push_back(memory.allocate(2000));
    for (void* b : blocks) memory.free(b);
    EXPECT_GT(memory.kept(), 0u);
    EXPECT_LE(memory.kept(), KoHttp2Memory::keptBound);
    memory.release();
    EXPECT_EQ(memory.kept(), 0u);
}

// Blocks made while the session is built, and only large ones, get pages of
// their own; a paged block carries no header, so reallocating and freeing
// it must find it by its address, and its bytes survive growing past it.
TEST(KoHttp2Memory, LargeBlocksMadeWhileBuildingHavePagesOfTheirOwn) {
    KoHttp2Memory memory;
    memory.building(true);
    char* frames = static_cast<char*>(memory.allocate(16 * 1024));
    void* small = memory.allocate(100);
    void* zeroed = memory.allocateZeroed(4, 4096);
    memory.building(false);
    void* later = memory.allocate(16 * 1024);
    EXPECT_EQ(memory.pagedBytes(), 16u * 1024 + 4 * 4096);
    for (int i = 0; i < 4 * 4096; ++i) ASSERT_EQ(static_cast<const char*>(zeroed)[i], 0) << i;

    std::memcpy(frames, "frame bytes", 12);
    EXPECT_EQ(memory.reallocate(frames, 8 * 1024), frames);  // fits its pages
    memory.rest();  // the pages stay usable
    std::memcpy(frames, "frame bytes", 12);
    frames = static_cast<char*>(memory.reallocate(frames, 40 * 1024));
    ASSERT_NE(frames, nullptr);
    EXPECT_STREQ(frames, "frame bytes");
    EXPECT_EQ(memory.pagedBytes(), 4u * 4096);  // grown: an ordinary block now
    memory.free(zeroed);
    EXPECT_EQ(memory.pagedBytes(), 0u);
    for (void* block : {static_cast<void*>(frames), small, later}) memory.free(block);
}

// A block made while the session was built lasts with it, and went into a
// size class: the session's 2.9 KiB struct took a 4 KiB block and each 1 KiB
// HPACK ring 2 KiB, a third of what an idle connection's session held. Such
// a block is now malloc's own, of its size, and goes back to malloc.
TEST(KoHttp2Memory, SmallBlocksMadeWhileBuildingTakeNoClass) {
    KoHttp2Memory memory;
    memory.building(true);
    std::vector<void*> lasting;
    for (std::size_t size : {48u, 1024u, 2928u}) lasting.push_back(memory.allocate(size));
    lasting.push_back(memory.allocateZeroed(1, 1024));
    memory.building(false);
    for (void* block : lasting) {
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(Aligned(block));
    }
    lasting[2] = memory.reallocate(lasting[2], 3000);
    ASSERT_NE(lasting[2], nullptr);
    for (void* block : lasting) memory.free(block);
    EXPECT_EQ(memory.kept(), 0u);
    // Blocks made afterwards still go to their class's list.
    memory.free(memory.allocate(48));
    EXPECT_GT(memory.kept(), 0u);
}

}  // namespace
