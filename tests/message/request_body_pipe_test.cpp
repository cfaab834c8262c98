// KoRequestBodyPipe: a request body handed from the loop that reads it to
// the handler that consumes it, bounded by the handler's pace.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "message/request_body_pipe.h"

namespace {

using Taken = KoRequestBodyPipe::Taken;

TEST(KoRequestBodyPipe, BytesThenHowTheBodyEnded) {
    struct Row {
        std::vector<std::string> pushed;
        enum class Then { complete, cut, abandon } then;
        std::size_t max;
        std::string read;  // what the reader gets before its last take
        Taken last;
    };
    const Row rows[] = {
        {{"abc", "", "de"}, Row::Then::complete, 2, "abcde", Taken::ended},
        {{"abc", "de"}, Row::Then::cut, 64, "abcde", Taken::cut},  // held bytes first, then the cut
        {{}, Row::Then::complete, 8, "", Taken::ended},
        {{"abc"}, Row::Then::abandon, 8, "", Taken::cut},  // an abandoned pipe drops what it held
    };
    for (const Row& row : rows) {
        KoRequestBodyPipe pipe(5);
        std::uint64_t pushed = 0;
        for (const std::string& piece : row.pushed) {
            pipe.push(piece);
            pushed += piece.size();
        }
        if (row.then == Row::Then::abandon) pipe.abandon();
        else pipe.end(row.then == Row::Then::complete);
        pipe.push("late");  // after the end: dropped, but counted
        std::string all, piece;
        Taken last;
        while ((last = pipe.take(piece, row.max)) == Taken::bytes) all += piece;
        EXPECT_EQ(all, row.read);
        EXPECT_EQ(last, row.last);
        EXPECT_EQ(pipe.received(), pushed + 4);
        EXPECT_EQ(pipe.declared(), 5);
    }
}

TEST(KoRequestBodyPipe, AFullPipeCallsForRoomOnceHalfIsTaken) {
    KoRequestBodyPipe::resetLargestHeld();
    KoRequestBodyPipe pipe(-1, 8);
    int rooms = 0;
    pipe.setRoom([&rooms] { ++rooms; });
    pipe.push("1234");
    EXPECT_FALSE(pipe.full());
    pipe.push("5678");
    EXPECT_TRUE(pipe.full());
    EXPECT_TRUE(pipe.waitingForReader());
    std::string piece;
    ASSERT_EQ(pipe.take(piece, 2), Taken::bytes);
    EXPECT_EQ(rooms, 0);  // 6 held: above half the bound
    ASSERT_EQ(pipe.take(piece, 2), Taken::bytes);
    EXPECT_EQ(rooms, 1);
    EXPECT_FALSE(pipe.waitingForReader());
    ASSERT_EQ(pipe.take(piece, 8), Taken::bytes);
    EXPECT_EQ(rooms, 1);  // nobody waited since
    EXPECT_EQ(pipe.taken(), 8u);
    EXPECT_EQ(KoRequestBodyPipe::largestHeld(), 8u);
    // A loop that waits for room goes on when the reader gives up.
    pipe.push(std::string(8, 'x'));
    EXPECT_TRUE(pipe.full());
    pipe.abandon();
    EXPECT_EQ(rooms, 2);
    EXPECT_FALSE(pipe.full());
}

}  // namespace
