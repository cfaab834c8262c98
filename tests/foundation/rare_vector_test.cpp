#include "foundation/rare_vector.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

// A queue used the way a connection uses what waits behind its output:
// items in order, and no room kept once the last has gone.
TEST(KoRareVector, KeepsItsItemsInOrderAndNoRoomOnceEmpty) {
    KoRareVector<std::unique_ptr<std::string>> queue;
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.begin(), queue.end());
    for (const char* text : {"a", "b", "c"}) queue.push_back(std::make_unique<std::string>(text));
    ASSERT_EQ(queue.size(), 3u);
    std::string seen;
    for (const auto& item : queue) seen += *item;
    EXPECT_EQ(seen, "abc");

    queue.pop_front();
    EXPECT_EQ(*queue.front(), "b");
    const std::vector<std::unique_ptr<std::string>> taken = queue.take();
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(*taken.back(), "c");
    EXPECT_TRUE(queue.empty());

    queue.push_back(std::make_unique<std::string>("d"));
    queue.pop_front();
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_TRUE(queue.take().empty());
    EXPECT_EQ(sizeof queue, sizeof(void*));
}
