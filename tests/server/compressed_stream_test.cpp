// The compressing side of a streamed body: what the reader takes decodes to
// what the maker pushed, a flush lets every byte so far through, and an
// abandoned or cut stream ends as the plain one does.
#include "server/http/compressed_stream.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <string>

namespace {

using Clock = KoBodyStream::Clock;

// Inflates gzip as it arrives: each feed gives what the bytes so far decode to.
class Gunzipper {
public:
    Gunzipper() { inflateInit2(&z, 15 + 16); }
    ~Gunzipper() { inflateEnd(&z); }
    std::string feed(const std::string& data) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        std::string out;
        char buffer[4096];
        do {
            z.next_out = reinterpret_cast<Bytef*>(buffer);
            z.avail_out = sizeof buffer;
            status = inflate(&z, Z_SYNC_FLUSH);
            out.append(buffer, sizeof buffer - z.avail_out);
        } while (status == Z_OK && z.avail_out == 0);
        return out;
    }
    bool ended() const { return status == Z_STREAM_END; }

private:
    z_stream z{};
    int status = Z_OK;
};

// Everything the stream holds now.
std::string TakeAll(KoBodyStream& stream, KoBodyStream::Taken& last) {
    std::string all, piece;
    while ((last = stream.take(piece, 1 << 20)) == KoBodyStream::Taken::bytes) all += piece;
    return all;
}

const Clock::time_point kNoDeadline = Clock::time_point::max();

}  // namespace

TEST(KoCompressedStream, TheReaderDecodesEachFlushedPieceAndTheWholeBody) {
    auto stream = std::make_shared<KoBodyStream>(1 << 20);
    KoCompressedStream maker(stream, KoContentCoding::gzip, 5);
    Gunzipper decoder;
    KoBodyStream::Taken last{};
    std::string made;
    for (int event = 0; event < 3; ++event) {
        const std::string piece = "data: event " + std::to_string(event) + "\n\n";
        made += piece;
        ASSERT_TRUE(maker.push(piece, kNoDeadline));
        // A pause of the maker: what it wrote reaches the client now.
        ASSERT_TRUE(maker.flush(kNoDeadline));
        EXPECT_EQ(decoder.feed(TakeAll(*stream, last)), piece);
        EXPECT_EQ(last, KoBodyStream::Taken::empty);
        // A second flush with nothing new adds nothing.
        ASSERT_TRUE(maker.flush(kNoDeadline));
        EXPECT_EQ(TakeAll(*stream, last), "");
    }
    std::string rest;
    for (int i = 0; i < 2000; ++i) rest += "line " + std::to_string(i) + " of a page that compresses\n";
    made += rest;
    ASSERT_TRUE(maker.push(rest, kNoDeadline));
    maker.end(true, kNoDeadline);
    const std::string tail = TakeAll(*stream, last);
    EXPECT_EQ(last, KoBodyStream::Taken::ended);
    EXPECT_LT(tail.size(), rest.size() / 4);
    EXPECT_EQ(decoder.feed(tail), rest);
    EXPECT_TRUE(decoder.ended());
    EXPECT_FALSE(made.empty());
}

TEST(KoCompressedStream, ACutOrAbandonedStreamEndsWithoutTheCompressedEnd) {
    {
        auto stream = std::make_shared<KoBodyStream>(1 << 20);
        KoCompressedStream maker(stream, KoContentCoding::brotli, 5);
        ASSERT_TRUE(maker.push("some bytes", kNoDeadline));
        maker.end(false, kNoDeadline);
        KoBodyStream::Taken last{};
        TakeAll(*stream, last);
        EXPECT_EQ(last, KoBodyStream::Taken::cut);
    }
    {
        auto stream = std::make_shared<KoBodyStream>(1 << 20);
        KoCompressedStream maker(stream, KoContentCoding::gzip, 5);
        stream->abandon();
        EXPECT_TRUE(maker.abandoned());
        EXPECT_FALSE(maker.push("nobody reads this", kNoDeadline));
        EXPECT_FALSE(maker.flush(kNoDeadline));
    }
}
