#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "message/protocols.h"
#include "message/x_header.h"
#include "platform/temporary_file.h"

namespace {

// Bytes given to the header at a time, as the HTTP layer feeds a body.
constexpr std::size_t kSlice = 4096;
constexpr std::uint64_t kBound = 1024 * 1024;
const std::string kNext = "GET /next HTTP/1.1\r\nHost: a\r\n\r\n";

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return bytes;
}

std::string Chunked(const std::string& body) {
    std::string coded;
    constexpr std::size_t piece = 100000;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::string part = body.substr(at, piece);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", part.size());
        coded += size + part + "\r\n";
    }
    return coded + "0\r\n\r\n";
}

std::string Message(const std::string& body, bool chunked) {
    const std::string head = "POST /up HTTP/1.1\r\nHost: a\r\n";
    if (chunked) return head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(body) + kNext;
    return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body + kNext;
}

struct Fed {
    int result = consume_result::NeedMore;
    std::size_t mostHeld = 0;  // the largest body the header held between slices
};

// Feeds message in slices until the header is no longer waiting for more.
Fed FeedInSlices(KoXHeader& header, const std::string& message, KoBodyKeeping keeping) {
    const KoXHeader::Filter filter = [keeping](KoXHeader& h) {
        h.SetBodyKeeping(keeping, kBound);
        return true;
    };
    Fed fed;
    for (std::size_t at = 0; at < message.size() && fed.result == consume_result::NeedMore; at += kSlice) {
        header.AppendInput(std::string_view(message).substr(at, kSlice));
        fed.result = header.ConsumeHeader(filter);
        if (fed.result == consume_result::NeedMore) fed.mostHeld = std::max(fed.mostHeld, header.BodySize());
    }
    return fed;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What went wrong: every body was held whole in memory until it was
// complete (64 MiB per request, twice that for chunks), even when nothing
// would read it, and no body could be kept anywhere but in memory.
struct KeepingCase {
    const char* name;
    KoBodyKeeping keeping;
    std::size_t size;
    bool chunked;
};

class BodyKeepingTest : public ::testing::TestWithParam<KeepingCase> {};

TEST_P(BodyKeepingTest, KeepsTheBodyAsAskedAndFindsTheNextMessage) {
    const KeepingCase& c = GetParam();
    const std::string body = Pattern(c.size);
    auto header = std::make_unique<KoXHeader>(0, false, protocol::HTTP);
    const Fed fed = FeedInSlices(*header, Message(body, c.chunked), c.keeping);
    ASSERT_EQ(fed.result, consume_result::Complete);
    EXPECT_EQ(header->BodyBytesReceived(), body.size());
    EXPECT_EQ(header->contentLength, body.size());

    std::string spoolPath;
    switch (c.keeping) {
    case KoBodyKeeping::discard:
        EXPECT_EQ(fed.mostHeld, 0u);
        EXPECT_EQ(header->BodySize(), 0u);
        EXPECT_TRUE(header->BodyFile().empty());
        break;
    case KoBodyKeeping::spill:
        if (body.size() <= kBound) {
            EXPECT_TRUE(header->BodyFile().empty());
            EXPECT_EQ(header->Body(), body);
        } else {
            EXPECT_LE(fed.mostHeld, kBound);
            EXPECT_EQ(header->BodySize(), 0u);
            spoolPath = header->BodyFile();
            ASSERT_FALSE(spoolPath.empty());
            EXPECT_EQ(ReadFile(spoolPath), body);
        }
        break;
    default:
        EXPECT_EQ(header->Body(), body);
        break;
    }
    EXPECT_FALSE(header->closeAfter);

    // The bytes behind the body are the next request, intact.
    KoXHeader next(0, false, protocol::HTTP);
    next.AppendInput(header->TakeRemainder());
    ASSERT_EQ(next.ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    EXPECT_EQ(next.path, "/next");

    header.reset();
    if (!spoolPath.empty()) {
        EXPECT_FALSE(std::filesystem::exists(spoolPath));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, BodyKeepingTest,
    ::testing::Values(KeepingCase{"discard_length", KoBodyKeeping::discard, 10 << 20, false},
                      KeepingCase{"discard_chunked", KoBodyKeeping::discard, 10 << 20, true},
                      KeepingCase{"spill_length", KoBodyKeeping::spill, 3 << 20, false},
                      KeepingCase{"spill_chunked", KoBodyKeeping::spill, 3 << 20, true},
                      KeepingCase{"small_spill_stays_in_memory", KoBodyKeeping::spill, 1000, false},
                      KeepingCase{"memory_chunked", KoBodyKeeping::memory, 2 << 20, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A discarded body still has its framing checked: a bad chunk is refused.
TEST(BodyKeeping, DiscardedChunksAreStillChecked) {
    KoXHeader header(0, false, protocol::HTTP);
    const std::string broken = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n10\r\n" + Pattern(16) +
                               "\r\nzz\r\n";
    EXPECT_EQ(FeedInSlices(header, broken, KoBodyKeeping::discard).result, consume_result::Refused);
    EXPECT_EQ(header.RefusalStatus(), 400);
}

// Skipping a body completes the message at its header's end and closes.
TEST(BodyKeeping, SkippedBodyEndsTheConnection) {
    for (const bool chunked : {false, true}) {
        KoXHeader header(0, false, protocol::HTTP);
        const Fed fed = FeedInSlices(header, Message(Pattern(100), chunked), KoBodyKeeping::skip);
        EXPECT_EQ(fed.result, consume_result::Complete);
        EXPECT_EQ(header.BodyBytesReceived(), 0u);
        EXPECT_TRUE(header.closeAfter);
    }
}

TEST(TemporaryFile, HoldsWhatIsAppendedAndGoesWithItsOwner) {
    std::string path;
    {
        auto made = platform::TemporaryFile::create("velko-test-");
        ASSERT_TRUE(made.ok());
        platform::TemporaryFile file = std::move(made.value());
        ASSERT_TRUE(file.append("abc").ok());
        ASSERT_TRUE(file.append(std::string(70000, 'x')).ok());
        EXPECT_EQ(file.size(), 70003u);
        path = file.path();
        EXPECT_EQ(ReadFile(path), "abc" + std::string(70000, 'x'));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
