#include "platform/random_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

TEST(RandomBytes, FillsEveryByteAndNoTwoFillsAgree) {
    // Past 256 bytes getrandom may return short and is called again; a fill
    // that left the zeroes standing, or repeated itself, would show.
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{16}, std::size_t{256},
                                   std::size_t{4096}, std::size_t{100000}}) {
        std::vector<unsigned char> first(size, 0);
        std::vector<unsigned char> second(size, 0);
        ASSERT_TRUE(platform::fillRandomBytes(first)) << size;
        ASSERT_TRUE(platform::fillRandomBytes(second)) << size;
        if (size < 16) continue;
        EXPECT_NE(first, second) << size;
        EXPECT_LT(static_cast<std::size_t>(std::count(first.begin(), first.end(), 0)), size / 8 + 4) << size;
    }
}
