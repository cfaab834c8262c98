#include <gtest/gtest.h>

#include <string>

#include "message/chunked_decoder.h"

using message_detail::ChunkedDecoder;

TEST(ChunkedDecoder, StopsAtTheEndOfTheBody) {
    ChunkedDecoder decoder(100, 64, 64);
    std::string out;
    std::size_t used = 0;
    const std::string coded = "3\r\nabc\r\n0\r\n\r\n";
    EXPECT_EQ(decoder.Feed(coded + "tail", out, used), ChunkedDecoder::Status::done);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(used, coded.size());
    EXPECT_EQ(decoder.Feed("more", out, used), ChunkedDecoder::Status::done);
    EXPECT_EQ(used, 0u);
}

TEST(ChunkedDecoder, ByteByByte) {
    ChunkedDecoder decoder(100, 64, 64);
    std::string out;
    const std::string coded = "2;a=b\r\nxy\r\n1 ; c\r\nz\r\n0\r\nT: 1\r\nU: 2\r\n\r\n";
    for (std::size_t i = 0; i < coded.size(); ++i) {
        std::size_t used = 0;
        const auto status = decoder.Feed(coded.substr(i, 1), out, used);
        EXPECT_EQ(used, 1u);
        EXPECT_EQ(status, i + 1 == coded.size() ? ChunkedDecoder::Status::done : ChunkedDecoder::Status::needMore)
            << i;
    }
    EXPECT_EQ(out, "xyz");
}

TEST(ChunkedDecoder, SizesAreCheckedAgainstTheLimit) {
    std::string out;
    std::size_t used = 0;
    EXPECT_EQ(ChunkedDecoder(16, 64, 64).Feed("11\r\n", out, used), ChunkedDecoder::Status::tooLarge);
    EXPECT_EQ(ChunkedDecoder(16, 64, 64).Feed("10\r\n", out, used), ChunkedDecoder::Status::needMore);
    // More than 64 bits of size never wraps around to a small number.
    EXPECT_EQ(ChunkedDecoder(UINT64_MAX, 64, 64).Feed("10000000000000001\r\n", out, used),
              ChunkedDecoder::Status::tooLarge);
    ChunkedDecoder twice(5, 64, 64);
    EXPECT_EQ(twice.Feed("3\r\nabc\r\n3\r\n", out, used), ChunkedDecoder::Status::tooLarge);
    // A failed decoder stays failed.
    EXPECT_EQ(twice.Feed("0\r\n\r\n", out, used), ChunkedDecoder::Status::tooLarge);
}

TEST(ChunkedDecoder, MalformedFraming) {
    // "3 " was read as 3, where other parsers refuse it or read it otherwise.
    for (const char* bad : {"\r\n", "x\r\n", "1\n", "1\r\nab", "1\r\na\n", "1;\n", "-1\r\n", "1 x\r\n",
                            "0\r\nT: 1\n", "1 \r\n", "1\t\r\n", "0 \t \r\n"}) {
        ChunkedDecoder decoder(100, 64, 64);
        std::string out;
        std::size_t used = 0;
        EXPECT_EQ(decoder.Feed(bad, out, used), ChunkedDecoder::Status::malformed) << bad;
    }
}
