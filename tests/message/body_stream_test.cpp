// KoBodyStream: a bounded hand-over of a body from the thread that makes it
// to the loop that sends it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "message/body_stream.h"

namespace {

using namespace std::chrono_literals;
using Taken = KoBodyStream::Taken;

KoBodyStream::Clock::time_point In(std::chrono::milliseconds ms) { return KoBodyStream::Clock::now() + ms; }

// Everything taken until the stream ends (or is cut, or is empty for now).
std::string TakeAll(KoBodyStream& stream, std::size_t max, Taken& last) {
    std::string all, piece;
    while ((last = stream.take(piece, max)) == Taken::bytes) all += piece;
    return all;
}

TEST(KoBodyStream, PiecesComeOutInOrderInTakesOfAnySize) {
    for (std::size_t max : {1u, 3u, 5u, 64u}) {
        KoBodyStream stream(1024);
        ASSERT_TRUE(stream.push("abcd", In(1s)));
        ASSERT_TRUE(stream.push("", In(1s)));
        ASSERT_TRUE(stream.push("efg", In(1s)));
        EXPECT_EQ(stream.held(), 7u);
        Taken last;
        EXPECT_EQ(TakeAll(stream, max, last), "abcdefg") << max;
        EXPECT_EQ(last, Taken::empty);
        EXPECT_FALSE(stream.ready());
        stream.end(true);
        EXPECT_TRUE(stream.ready());
        std::string none;
        EXPECT_EQ(stream.take(none, max), Taken::ended);
    }
}

TEST(KoBodyStream, CutIsToldAfterTheLastByte) {
    KoBodyStream stream(1024);
    stream.push("x", In(1s));
    stream.end(false);
    EXPECT_FALSE(stream.push("y", In(1s)));
    std::string piece;
    EXPECT_EQ(stream.take(piece, 10), Taken::bytes);
    EXPECT_EQ(piece, "x");
    EXPECT_EQ(stream.take(piece, 10), Taken::cut);
}

TEST(KoBodyStream, MakerWaitsWhileMoreThanTheBoundIsHeld) {
    KoBodyStream stream(10);
    ASSERT_TRUE(stream.push(std::string(8, 'a'), In(1s)));
    // At the bound or below: one more piece goes in.
    ASSERT_TRUE(stream.push(std::string(8, 'b'), In(1s)));
    std::atomic<bool> pushed{false};
    std::thread maker([&] {
        EXPECT_TRUE(stream.push(std::string(8, 'c'), In(10s)));
        pushed = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(pushed.load());
    EXPECT_EQ(stream.held(), 16u);
    std::string piece;
    stream.take(piece, 8);
    maker.join();
    EXPECT_TRUE(pushed.load());
    EXPECT_EQ(stream.peakHeld(), 16u);
    EXPECT_GE(KoBodyStream::largestHeld(), 16u);
}

TEST(KoBodyStream, WaitEndsAtTheDeadlineOrWhenAbandoned) {
    KoBodyStream stream(0);
    stream.push("x", In(1s));
    const auto start = KoBodyStream::Clock::now();
    EXPECT_FALSE(stream.push("y", In(50ms)));
    EXPECT_GE(KoBodyStream::Clock::now() - start, 50ms);

    std::thread maker([&] { EXPECT_FALSE(stream.push("z", In(10s))); });
    std::this_thread::sleep_for(50ms);
    stream.abandon();
    maker.join();
    EXPECT_TRUE(stream.abandoned());
    EXPECT_EQ(stream.held(), 0u);
}

TEST(KoBodyStream, LastReaderHandleAbandonsTheStream) {
    auto stream = std::make_shared<KoBodyStream>(16);
    auto reader = KoBodyStream::reader(stream);
    auto copy = reader;
    reader.reset();
    EXPECT_FALSE(stream->abandoned());
    copy.reset();
    EXPECT_TRUE(stream->abandoned());
    EXPECT_FALSE(stream->push("x", In(1s)));
}

TEST(KoBodyStream, ReaderIsWokenWhenAnEmptyStreamGetsBytesOrEnds) {
    KoBodyStream stream(64);
    int wakes = 0;
    stream.setWake([&] { ++wakes; });
    stream.push("a", In(1s));
    EXPECT_EQ(wakes, 1);
    // Not empty: the reader has not taken the first yet.
    stream.push("b", In(1s));
    EXPECT_EQ(wakes, 1);
    std::string piece;
    stream.take(piece, 64);
    stream.take(piece, 64);
    stream.push("c", In(1s));
    EXPECT_EQ(wakes, 2);
    stream.end(true);
    EXPECT_EQ(wakes, 3);
}

}  // namespace
