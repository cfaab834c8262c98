#include "server/http/http_date.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

constexpr std::int64_t k1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

TEST(KoHttpDate, WritesImfFixdate) {
    EXPECT_EQ(KoHttpDate(k1994), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(KoHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(KoHttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(KoHttpDate(4102444799), "Thu, 31 Dec 2099 23:59:59 GMT");
}

TEST(KoParseHttpDate, Table) {
    const struct {
        const char* text;
        std::int64_t seconds;  // -1: not a date
    } table[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", k1994},
        {"  Sun, 06 Nov 1994 08:49:37 GMT\t", k1994},
        {"Sunday, 06-Nov-94 08:49:37 GMT", k1994},
        {"Sun Nov  6 08:49:37 1994", k1994},
        {"Sun Nov 06 08:49:37 1994", k1994},
        {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
        {"Saturday, 01-Jan-00 00:00:00 GMT", 946684800},
        {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
        {"Tue, 31 Dec 2002 23:59:60 GMT", 1041379199},
        {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
        {"Sun, 6 Nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 nov 1994 08:49:37 GMT", -1},
        {"Sun, 06 Nov 94 08:49:37 GMT", -1},
        {"Sun, 31 Nov 1994 08:49:37 GMT", -1},
        {"Mon, 29 Feb 1999 00:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
        {"Sun, 06 Nov 1994 08:60:00 GMT", -1},
        {"Sun, 06 Nov 1994 08:49:37 GMT x", -1},
        {"Sun, 06 Nov 1994 08:49", -1},
        {"Xyz, 06 Nov 1994 08:49:37 GMT", -1},
        {"784111777", -1},
        {"", -1},
    };
    for (const auto& row : table) {
        const auto parsed = KoParseHttpDate(row.text);
        if (row.seconds < 0) {
            EXPECT_FALSE(parsed) << row.text;
        } else {
            EXPECT_EQ(parsed.value_or(-1), row.seconds) << row.text;
        }
    }
}

TEST(KoParseHttpDate, ReadsWhatItWrites) {
    for (std::int64_t seconds : {std::int64_t{0}, k1994, std::int64_t{1700000000}, std::int64_t{4102444799}}) {
        EXPECT_EQ(KoParseHttpDate(KoHttpDate(seconds)).value_or(-1), seconds);
    }
}

TEST(KoHttpDateNow, IsTheCurrentSecondOnEachThread) {
    const std::int64_t before = KoSecondsNow();
    const auto here = KoParseHttpDate(KoHttpDateNow());
    std::optional<std::int64_t> there;
    std::thread other([&] { there = KoParseHttpDate(KoHttpDateNow()); });
    other.join();
    const std::int64_t after = KoSecondsNow();
    ASSERT_TRUE(here && there);
    EXPECT_GE(*here, before);
    EXPECT_LE(*here, after);
    EXPECT_GE(*there, before);
    EXPECT_LE(*there, after);
}

}  // namespace
