#include "server/http/byte_ranges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kind = KoRangeRequest::Kind;

TEST(KoParseRange, Table) {
    const struct {
        const char* value;
        std::uint64_t size;
        Kind kind;
        std::vector<KoByteRange> ranges;  // first, length
    } table[] = {
        {"bytes=0-99", 1000, Kind::ranges, {{0, 100}}},
        {"bytes=500-", 1000, Kind::ranges, {{500, 500}}},
        {"bytes=-200", 1000, Kind::ranges, {{800, 200}}},
        {"bytes=-2000", 1000, Kind::ranges, {{0, 1000}}},
        {"bytes=990-2000", 1000, Kind::ranges, {{990, 10}}},
        {"bytes=999-999", 1000, Kind::ranges, {{999, 1}}},
        {"Bytes=0-0", 1000, Kind::ranges, {{0, 1}}},
        {"bytes=0-0,-1", 1000, Kind::ranges, {{0, 1}, {999, 1}}},
        {"bytes= 0-9 , 20-29 ", 1000, Kind::ranges, {{0, 10}, {20, 10}}},
        {"bytes=,0-9,,", 1000, Kind::ranges, {{0, 10}}},
        // Put in order; overlapping and touching ranges are joined.
        {"bytes=20-29,0-9", 1000, Kind::ranges, {{0, 10}, {20, 10}}},
        {"bytes=0-9,10-19", 1000, Kind::ranges, {{0, 20}}},
        {"bytes=0-50,10-20,40-60", 1000, Kind::ranges, {{0, 61}}},
        {"bytes=0-,0-,0-", 1000, Kind::ranges, {{0, 1000}}},
        {"bytes=5000-6000,0-1", 1000, Kind::ranges, {{0, 2}}},
        {"bytes=99999999999999999999999-", 1000, Kind::unsatisfiable, {}},
        {"bytes=0-99999999999999999999999", 1000, Kind::ranges, {{0, 1000}}},
        // Nothing inside the file.
        {"bytes=1000-", 1000, Kind::unsatisfiable, {}},
        {"bytes=1000-1001,2000-", 1000, Kind::unsatisfiable, {}},
        {"bytes=-0", 1000, Kind::unsatisfiable, {}},
        {"bytes=0-", 0, Kind::unsatisfiable, {}},
        {"bytes=-5", 0, Kind::unsatisfiable, {}},
        // Not byte ranges, or not valid: the whole file.
        {"items=0-9", 1000, Kind::ignored, {}},
        {"bytes 0-9", 1000, Kind::ignored, {}},
        {"bytes=", 1000, Kind::ignored, {}},
        {"bytes=,", 1000, Kind::ignored, {}},
        {"bytes=9-0", 1000, Kind::ignored, {}},
        {"bytes=0-9,9-0", 1000, Kind::ignored, {}},
        {"bytes=a-9", 1000, Kind::ignored, {}},
        {"bytes=0-9x", 1000, Kind::ignored, {}},
        {"bytes=-", 1000, Kind::ignored, {}},
        {"bytes=0", 1000, Kind::ignored, {}},
        {"bytes=--5", 1000, Kind::ignored, {}},
        {"bytes=+5-9", 1000, Kind::ignored, {}},
        {"bytes=0 - 9", 1000, Kind::ignored, {}},
        {"", 1000, Kind::ignored, {}},
    };
    for (const auto& row : table) {
        const KoRangeRequest parsed = KoParseRange(row.value, row.size);
        EXPECT_EQ(parsed.kind, row.kind) << row.value;
        EXPECT_EQ(parsed.ranges, row.ranges) << row.value;
    }
}

// A long list of tiny ranges made an answer many times the file's size,
// most of it part heads.
TEST(KoParseRange, TooManyPartsAreIgnored) {
    std::string many = "bytes=";
    for (int i = 0; i < 10; ++i) many += std::to_string(i * 10) + "-" + std::to_string(i * 10) + ",";
    EXPECT_EQ(KoParseRange(many, 1000, 10).kind, Kind::ranges);
    EXPECT_EQ(KoParseRange(many, 1000, 10).ranges.size(), 10u);
    EXPECT_EQ(KoParseRange(many, 1000, 9).kind, Kind::ignored);
    EXPECT_TRUE(KoParseRange(many, 1000, 9).ranges.empty());
    // Joined first, counted after.
    std::string joined = "bytes=";
    for (int i = 0; i < 1000; ++i) joined += "0-" + std::to_string(i) + ",";
    EXPECT_EQ(KoParseRange(joined, 1000, 1).ranges, (std::vector<KoByteRange>{{0, 1000}}));
}

}  // namespace
