#include "server/connection/http_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <string>

#include "../message/engine_loopback.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "server/files/file_cache.h"

using namespace engine_test;

namespace {

constexpr std::size_t kChunk = 1024;

struct HttpConnectionFixture : ::testing::Test {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver{scheduler};
    MessageSink owner;
    std::string path = ::testing::TempDir() + "http_connection_test_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin";

    void TearDown() override { std::remove(path.c_str()); }

    std::shared_ptr<KoHTTPConnection> Make() {
        return std::make_shared<KoHTTPConnection>(transceiver, owner.name, "peer", KoServerCallback_t{5, {}},
                                                  KoConnectionHandler{}, kChunk);
    }

    std::string WriteFile(std::size_t size) {
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>('A' + i % 26);
        std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(size));
        return content;
    }

    std::unique_ptr<std::ifstream> Open() { return std::make_unique<std::ifstream>(path, std::ios::binary); }
};

}  // namespace

TEST_F(HttpConnectionFixture, HeaderAndTheStartOfItsFileGoOutTogether) {
    const std::string content = WriteFile(300);
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("HEAD\r\n\r\n", 8, accepted);
    connection->QueueFile(Open(), content.size());
    std::string out;
    connection->GatherOutput(out, 1 << 20);
    EXPECT_EQ(out, "HEAD\r\n\r\n" + content);
    EXPECT_EQ(connection->FilesPending(), 0u);
}

TEST_F(HttpConnectionFixture, ALargeFileIsQueuedAtMostTwoChunksAtATimeAndArrivesWhole) {
    const std::string content = WriteFile(10 * kChunk + 77);
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueFile(Open(), content.size());
    connection->QueueBytes("NEXT", 4, accepted);  // the next answer waits behind the file
    std::string sent;
    for (int guard = 0; guard < 1000 && connection->OutputWaiting(); ++guard) {
        EXPECT_LE(connection->QueuedBytes(), 2 * kChunk);
        std::string piece;
        connection->GatherOutput(piece, 700);
        sent += piece;
        connection->OutputSent(piece.size());
    }
    EXPECT_EQ(sent, content + "NEXT");
}

TEST_F(HttpConnectionFixture, PiecesOfOneFileGoOutEachFromItsOffset) {
    const std::string content = WriteFile(5 * kChunk);
    auto connection = Make();
    std::shared_ptr<std::ifstream> file = Open();
    std::size_t accepted = 0;
    // As a multipart answer sends them: later parts first read, then an
    // earlier one, and a large one in several chunks.
    connection->QueueBytes("[", 1, accepted);
    connection->QueueFile(file, 2 * kChunk + 10, 2 * kChunk);
    connection->QueueBytes("|", 1, accepted);
    connection->QueueFile(file, 7, 3);
    connection->QueueBytes("]", 1, accepted);
    file.reset();
    std::string sent;
    for (int guard = 0; guard < 1000 && connection->OutputWaiting(); ++guard) {
        std::string piece;
        connection->GatherOutput(piece, 500);
        sent += piece;
        connection->OutputSent(piece.size());
    }
    EXPECT_EQ(sent, "[" + content.substr(2 * kChunk, 2 * kChunk + 10) + "|" + content.substr(3, 7) + "]");
    EXPECT_EQ(connection->FilesPending(), 0u);
}

TEST_F(HttpConnectionFixture, AFileCutWhileSentEndsTheConnectionAndNothingFollowsIt) {
    WriteFile(100);
    auto pair = MakePair();
    ASSERT_TRUE(pair.accepted && pair.peer);
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("HEAD|", 5, accepted);
    // Announced longer than it is: the file was cut after it was routed.
    connection->QueueFile(Open(), 5000);
    connection->QueueBytes("NEXT ANSWER", 11, accepted);
    int last = 0;
    for (int guard = 0; guard < 100; ++guard) {
        last = connection->SendStep(*pair.accepted);
        if (last < 0) break;
    }
    EXPECT_EQ(last, KoTransceiverConnection::stepClosed);
    const std::string got = ReadAtLeast(*pair.peer, 105, std::chrono::seconds(2));
    EXPECT_EQ(got.size(), 105u);
    EXPECT_EQ(got.substr(0, 5), "HEAD|");
    EXPECT_EQ(got.find("NEXT"), std::string::npos);
}

TEST_F(HttpConnectionFixture, ALargeFileGoesOutFromItsDescriptorBehindItsHeader) {
    const std::string content = WriteFile(300 * 1024 + 5);
    auto opened = KoFileCache(4).open(path);
    ASSERT_TRUE(opened.ok());
    auto pair = MakePair();
    ASSERT_TRUE(pair.accepted && pair.peer);
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("HEAD|", 5, accepted);
    connection->QueueFile(opened.value(), 0, content.size());
    connection->QueueBytes("|NEXT", 5, accepted);
    // Not read into the queue: it is sent from the file.
    EXPECT_LE(connection->QueuedBytes(), 5u);
    EXPECT_EQ(connection->UnsentBytes(), 5 + content.size() + 5);
    std::string got;
    for (int guard = 0; guard < 20000 && connection->WantsToSend(); ++guard) {
        if (connection->SendStep(*pair.accepted) < 0) break;
        got += ReadAtLeast(*pair.peer, 1, std::chrono::milliseconds(5));
    }
    got += ReadAtLeast(*pair.peer, 5 + content.size() + 5 - got.size());
    ASSERT_EQ(got.size(), 5 + content.size() + 5);
    EXPECT_EQ(got.substr(0, 5), "HEAD|");
    EXPECT_TRUE(got.compare(5, content.size(), content) == 0);
    EXPECT_EQ(got.substr(5 + content.size()), "|NEXT");
    EXPECT_EQ(connection->UnsentBytes(), 0u);
}

TEST_F(HttpConnectionFixture, ASmallFileIsReadAtOnceToLeaveWithItsHeader) {
    const std::string content = WriteFile(1000);
    auto opened = KoFileCache(4).open(path);
    ASSERT_TRUE(opened.ok());
    auto connection = Make();
    std::size_t accepted = 0;
    connection->QueueBytes("HEAD|", 5, accepted);
    connection->QueueFile(opened.value(), 0, content.size());
    std::string out;
    connection->GatherOutput(out, 1 << 20);
    EXPECT_EQ(out, "HEAD|" + content);
    EXPECT_EQ(connection->FilesPending(), 0u);
}

// Sends what is queued, piece by piece, until nothing is left for now.
static std::string DrainOutput(KoHTTPConnection& connection, std::size_t most) {
    std::string sent;
    for (int guard = 0; guard < 10000; ++guard) {
        EXPECT_LE(connection.QueuedBytes(), most);
        std::string piece;
        connection.GatherOutput(piece, 700);
        if (piece.empty()) {
            // Nothing queued: the connection looks at its stream again.
            connection.OutputSent(0);
            connection.GatherOutput(piece, 700);
            if (piece.empty()) break;
        }
        connection.OutputSent(piece.size());
        sent += piece;
    }
    return sent;
}

TEST_F(HttpConnectionFixture, SharedBytesAreHeldNotCopiedUntilSentAlsoBehindAFile) {
    const std::string content = WriteFile(3000);
    auto large = std::make_shared<std::ifstream>(path, std::ios::binary);
    const auto shared = std::make_shared<const std::string>("0123456789");
    auto connection = Make();
    connection->QueueShared(shared, 2, 5);
    // The queue holds the bytes themselves, from where they lie.
    EXPECT_EQ(shared.use_count(), 2);
    connection->QueueFile(large, content.size());
    connection->QueueShared(shared, 7, 100);
    EXPECT_EQ(DrainOutput(*connection, 1 << 20), "23456" + content + "789");
    EXPECT_EQ(shared.use_count(), 1);
}

TEST_F(HttpConnectionFixture, StreamedBodyIsChunkedAsItComesAndEndsWithTheLastChunk) {
    auto connection = Make();
    auto source = std::make_shared<KoBodyStream>(16 * kChunk);
    const auto soon = KoBodyStream::Clock::now() + std::chrono::seconds(5);
    source->push("abc", soon);
    connection->QueueText("HEAD\r\n\r\n");
    connection->QueueStream(KoBodyStream::reader(source), true, nullptr);
    std::size_t accepted = 0;
    connection->QueueBytes("NEXT", 4, accepted);  // waits behind the stream
    EXPECT_EQ(DrainOutput(*connection, 1 << 20), "HEAD\r\n\r\n3\r\nabc\r\n");
    // More than a chunk at once is taken a chunk at a time, never all queued.
    const std::string large(10 * kChunk, 'x');
    source->push(large, soon);
    const std::string body = DrainOutput(*connection, 2 * kChunk + 16);
    EXPECT_EQ(body.size(), large.size() + 10 * 7);
    EXPECT_EQ(body.substr(0, 7), "400\r\nxx");
    source->end(true);
    EXPECT_EQ(DrainOutput(*connection, 1 << 20), "0\r\n\r\nNEXT");
    EXPECT_FALSE(connection->CloseRequested());
}

TEST_F(HttpConnectionFixture, CutStreamEndsWithoutTheLastChunkAndCloses) {
    for (const bool chunked : {true, false}) {
        auto connection = Make();
        auto source = std::make_shared<KoBodyStream>(kChunk);
        source->push("part", KoBodyStream::Clock::now() + std::chrono::seconds(5));
        connection->QueueStream(KoBodyStream::reader(source), chunked, nullptr);
        std::size_t accepted = 0;
        connection->QueueBytes("NEXT", 4, accepted);
        source->end(false);
        EXPECT_EQ(DrainOutput(*connection, 1 << 20), chunked ? "4\r\npart\r\n" : "part");
        EXPECT_TRUE(connection->CloseRequested());
    }
}

TEST_F(HttpConnectionFixture, DroppedConnectionLetsTheStreamsMakerStop) {
    auto source = std::make_shared<KoBodyStream>(kChunk);
    {
        auto connection = Make();
        connection->QueueStream(KoBodyStream::reader(source), true, nullptr);
    }
    EXPECT_TRUE(source->abandoned());
    EXPECT_FALSE(source->push("x", KoBodyStream::Clock::now() + std::chrono::seconds(1)));
}

// A large file for a peer on this machine goes through the queue, at most
// two chunks at a time; for others it goes from its descriptor. Either way
// it arrives whole behind its header, and one shorter than announced ends
// the connection with nothing after it.
TEST_F(HttpConnectionFixture, ALargeFileForAPeerOnThisMachineIsCopiedInChunks) {
    const std::string content = WriteFile(300 * 1024 + 5);
    for (const bool local : {false, true}) {
        for (const bool cut : {false, true}) {
            SCOPED_TRACE(std::string(local ? "local" : "by sendfile") + (cut ? ", cut" : ""));
            KoHTTPPacing pacing;
            pacing.localCopyThreshold = local ? 64 * 1024 : std::numeric_limits<std::uint64_t>::max();
            auto opened = KoFileCache(4).open(path);
            ASSERT_TRUE(opened.ok());
            auto pair = MakePair();
            ASSERT_TRUE(pair.accepted && pair.peer);
            auto connection = std::make_shared<KoHTTPConnection>(transceiver, owner.name, "peer", KoServerCallback_t{5, {}},
                                                                 KoConnectionHandler{}, kChunk, nullptr, &pacing);
            std::size_t accepted = 0;
            connection->QueueBytes("HEAD|", 5, accepted);
            connection->QueueFile(opened.value(), 0, content.size() + (cut ? 1000 : 0));
            connection->QueueBytes("|NEXT", 5, accepted);
            int last = 0;
            std::size_t largestStep = 0;
            std::string got;
            for (int guard = 0; guard < 20000 && connection->WantsToSend(); ++guard) {
                last = connection->SendStep(*pair.accepted);
                if (last < 0) break;
                largestStep = std::max(largestStep, static_cast<std::size_t>(last));
                got += ReadAtLeast(*pair.peer, 1, std::chrono::milliseconds(5));
            }
            const std::string expected = "HEAD|" + content + (cut ? "" : "|NEXT");
            got += ReadAtLeast(*pair.peer, expected.size() - std::min(got.size(), expected.size()));
            EXPECT_EQ(largestStep <= 5 + 2 * kChunk, local);
            EXPECT_EQ(last == KoTransceiverConnection::stepClosed, cut);
            EXPECT_EQ(got.size(), expected.size());
            EXPECT_TRUE(got == expected);
        }
    }
}
