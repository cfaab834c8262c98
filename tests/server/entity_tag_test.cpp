#include "server/http/entity_tag.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

TEST(KoEntityTagOf, HexOfIdSizeAndTime) {
    EXPECT_EQ(KoEntityTagOf(0x1a2b, 1024, 1, 5), "\"1a2b-400-3b9aca05\"");
    // Any one of the three tells versions apart, also within one second.
    const std::set<std::string> tags = {KoEntityTagOf(1, 10, 100, 0), KoEntityTagOf(2, 10, 100, 0),
                                        KoEntityTagOf(1, 11, 100, 0), KoEntityTagOf(1, 10, 101, 0),
                                        KoEntityTagOf(1, 10, 100, 1)};
    EXPECT_EQ(tags.size(), 5u);
}

TEST(KoEntityTagListMatches, Table) {
    using C = KoTagComparison;
    const std::string current = "\"abc\"";
    const struct {
        std::vector<std::string> values;
        bool weak;    // under weak comparison
        bool strong;  // under strong comparison
    } table[] = {
        {{"\"abc\""}, true, true},
        {{"W/\"abc\""}, true, false},
        {{"\"xyz\""}, false, false},
        {{"\"xyz\", \"abc\""}, true, true},
        {{"\"xyz\",W/\"abc\""}, true, false},
        {{"\"xyz\"", "\"abc\""}, true, true},
        {{" , \"abc\" ,, "}, true, true},
        {{"*"}, true, true},
        {{" * "}, true, true},
        {{"\"a,b\", \"abc\""}, true, true},
        // Malformed lists match nothing.
        {{"abc"}, false, false},
        {{"\"abc"}, false, false},
        {{"\"abc\" \"xyz\""}, false, false},
        {{"\"xyz\", *"}, false, false},
        {{"w/\"abc\""}, false, false},
        {{"\"ab c\""}, false, false},
        {{""}, false, false},
        {{}, false, false},
    };
    for (const auto& row : table) {
        const std::string name = row.values.empty() ? "(none)" : row.values.front();
        EXPECT_EQ(KoEntityTagListMatches(row.values, current, C::weak), row.weak) << name;
        EXPECT_EQ(KoEntityTagListMatches(row.values, current, C::strong), row.strong) << name;
    }
    // A weak current tag never matches strongly.
    EXPECT_TRUE(KoEntityTagListMatches({"\"abc\""}, "W/\"abc\"", C::weak));
    EXPECT_FALSE(KoEntityTagListMatches({"\"abc\""}, "W/\"abc\"", C::strong));
}

TEST(KoEntityTagEquals, OneTagOnly) {
    using C = KoTagComparison;
    EXPECT_TRUE(KoEntityTagEquals("\"abc\"", "\"abc\"", C::strong));
    EXPECT_FALSE(KoEntityTagEquals("W/\"abc\"", "\"abc\"", C::strong));
    EXPECT_TRUE(KoEntityTagEquals("W/\"abc\"", "\"abc\"", C::weak));
    EXPECT_FALSE(KoEntityTagEquals("\"abc\", \"abc\"", "\"abc\"", C::strong));
    EXPECT_FALSE(KoEntityTagEquals("*", "\"abc\"", C::strong));
    EXPECT_FALSE(KoEntityTagEquals("\"abd\"", "\"abc\"", C::strong));
}

}  // namespace
