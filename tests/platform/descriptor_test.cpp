#include "platform/descriptor.h"

#include <gtest/gtest.h>

#include <utility>

#include "platform/poller.h"
#include "platform/socket.h"

namespace {

bool isOpen(int fd) {
    auto ready = platform::waitDescriptor(fd, platform::readable, 0);
    return ready.ok() && !(ready.value() & platform::invalid);
}

}  // namespace

TEST(Descriptor, ClosesOnceWhateverMovesIt) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok()) << pair.error().text();
    const int fd = pair.value().first.get();
    {
        platform::Descriptor moved = std::move(pair.value().first);
        EXPECT_FALSE(pair.value().first.valid());
        EXPECT_EQ(moved.get(), fd);
        platform::Descriptor assigned;
        assigned = std::move(moved);
        EXPECT_EQ(assigned.get(), fd);
        EXPECT_TRUE(isOpen(fd));
    }
    EXPECT_FALSE(isOpen(fd));
}

TEST(Descriptor, ReleaseGivesUpOwnership) {
    auto pair = platform::socketPair();
    ASSERT_TRUE(pair.ok());
    int fd;
    {
        platform::Descriptor owner = std::move(pair.value().second);
        fd = owner.release();
        EXPECT_EQ(owner.get(), -1);
    }
    EXPECT_TRUE(isOpen(fd));
    platform::Descriptor again(fd);
    again.reset();
    EXPECT_FALSE(isOpen(fd));
}
