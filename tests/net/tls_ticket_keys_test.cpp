#include "net/tls_ticket_keys.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;
using Clock = KoTlsTicketKeys::Clock;

TEST(KoTlsTicketKeys, ATicketOpensWithItsKeyThenWithThePreviousThenNoMore) {
    const auto start = Clock::time_point{} + 1000h;
    KoTlsTicketKeys keys(100s, start);
    const auto first = keys.forSealing(start);
    // Within its lifetime the same key seals and opens.
    EXPECT_EQ(keys.forSealing(start + 99s).name, first.name);
    auto opened = keys.forOpening(first.name.data(), start + 50s);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->renew);
    EXPECT_EQ(opened->key.cipherKey, first.cipherKey);

    // A lifetime later a new key seals; the old one still opens, and asks
    // for a fresh ticket.
    const auto second = keys.forSealing(start + 100s);
    EXPECT_NE(second.name, first.name);
    EXPECT_NE(second.cipherKey, first.cipherKey);
    opened = keys.forOpening(first.name.data(), start + 150s);
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->renew);
    EXPECT_EQ(opened->key.macKey, first.macKey);

    // Two lifetimes on, the first key opens nothing.
    EXPECT_FALSE(keys.forOpening(first.name.data(), start + 200s));
    opened = keys.forOpening(keys.forSealing(start + 200s).name.data(), start + 200s);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(opened->renew);
}

TEST(KoTlsTicketKeys, AnUnknownNameOpensNothingAndKeysDiffer) {
    const auto start = Clock::now();
    KoTlsTicketKeys a(3600s, start);
    KoTlsTicketKeys b(3600s, start);
    const auto keyA = a.forSealing(start);
    EXPECT_NE(keyA.name, b.forSealing(start).name);
    EXPECT_FALSE(b.forOpening(keyA.name.data(), start));
    const unsigned char zeros[16] = {};
    EXPECT_FALSE(a.forOpening(zeros, start));
}

TEST(KoTlsTicketKeys, AKeyIdleForLongIsNotKeptAsThePrevious) {
    const auto start = Clock::time_point{} + 1000h;
    KoTlsTicketKeys keys(100s, start);
    const auto first = keys.forSealing(start);
    // Nothing asked for three lifetimes: the first key is past both.
    keys.forSealing(start + 300s);
    EXPECT_FALSE(keys.forOpening(first.name.data(), start + 300s));
}
