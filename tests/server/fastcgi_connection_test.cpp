// KoFastCgiConnection against a scripted responder on the other end of a
// socket pair: what it sends, a body streamed both ways, a kept connection,
// and responders that break the protocol, go away, stay silent or talk too
// much.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/temporary_file.h"
#include "platform/wake_up.h"
#include "server/scripts/fastcgi_connection.h"
#include "server/scripts/fastcgi_records.h"

namespace {

using namespace std::chrono_literals;
using Kind = KoFastCgiOutcome::Kind;

// The responder's side: reads records off its blocking end of the pair.
struct Responder {
    platform::Descriptor fd;
    KoFastCgiRecordReader reader;
    std::string buffer;
    std::size_t used = 0;

    bool next(KoFastCgiRecord& record) {
        for (;;) {
            if (reader.next(buffer, used) == KoFastCgiRecordReader::Status::record) {
                record = reader.Current();
                return true;
            }
            buffer.assign(65536, '\0');
            used = 0;
            const auto got = platform::receiveSome(fd.get(), buffer.data(), buffer.size());
            if (got.bytes == 0) return false;
            buffer.resize(got.bytes);
        }
    }
    // Reads records until the stream of `type` has ended; returns its bytes.
    std::string stream(std::uint8_t type, std::string* begin = nullptr) {
        std::string bytes;
        KoFastCgiRecord record;
        while (next(record)) {
            if (record.type == fastcgi::record::beginRequest && begin) *begin = record.content;
            if (record.type != type) continue;
            if (record.content.empty()) break;
            bytes += record.content;
        }
        return bytes;
    }
    void send(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            const auto sent = platform::sendSome(fd.get(), bytes.data() + at, bytes.size() - at);
            if (!sent.error.ok()) return;
            at += sent.bytes;
        }
    }
    void drain() {
        KoFastCgiRecord record;
        while (next(record)) {
        }
    }
};

std::string Answer(const std::string& output, std::uint16_t id = 1) {
    std::string bytes;
    if (!output.empty()) fastcgi::appendStream(bytes, fastcgi::record::stdoutStream, id, output);
    fastcgi::appendStream(bytes, fastcgi::record::stdoutStream, id, {});
    fastcgi::appendRecord(bytes, fastcgi::record::endRequest, id, std::string(8, '\0'));
    return bytes;
}

class FastCgiConnection : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = platform::socketPair();
        ASSERT_TRUE(made.ok());
        auto& pair = made.value();
        platform::setNonBlocking(pair.first.get(), true);
        connection = std::make_unique<KoFastCgiConnection>(std::move(pair.first), stop.fd());
        responder = Responder{};
        responder.fd = std::move(pair.second);
        ASSERT_TRUE(connection->valid());
    }
    void TearDown() override {
        connection.reset();  // the responder sees the end of its stream
        if (peer.joinable()) peer.join();
    }
    KoFastCgiOutcome Exchange(const KoFastCgiRequest& request, std::chrono::milliseconds limit = 5s,
                              std::size_t maxOutput = 1 << 22) {
        return connection->exchange(request, std::chrono::steady_clock::now() + limit, maxOutput,
                                    [this](std::string_view bytes) { errors += bytes; });
    }

    platform::WakeUp stop;
    std::unique_ptr<KoFastCgiConnection> connection;
    Responder responder;
    std::thread peer;
    std::string errors;
};

TEST_F(FastCgiConnection, SendsTheRequestAndKeepsTheConnectionForTheNext) {
    std::string begin, params, body;
    peer = std::thread([&] {
        for (int i = 0; i < 2; ++i) {
            params = responder.stream(fastcgi::record::params, &begin);
            body = responder.stream(fastcgi::record::stdinStream);
            std::string err;
            fastcgi::appendStream(err, fastcgi::record::stderrStream, 1, "note " + std::to_string(i));
            responder.send(err + Answer("answer " + std::to_string(i)));
        }
        responder.drain();
    });
    for (int i = 0; i < 2; ++i) {
        const auto outcome = Exchange({{"SCRIPT_FILENAME=/a.php", "X="}, "body"});
        EXPECT_EQ(outcome.kind, Kind::completed);
        EXPECT_EQ(outcome.output, "answer " + std::to_string(i));
        EXPECT_TRUE(outcome.reusable);
    }
    EXPECT_EQ(begin, std::string("\0\1\1\0\0\0\0\0", 8));  // responder, keep the connection
    std::string pairs;
    fastcgi::appendNameValue(pairs, "SCRIPT_FILENAME", "/a.php");
    fastcgi::appendNameValue(pairs, "X", "");
    EXPECT_EQ(params, pairs);
    EXPECT_EQ(body, "body");
    EXPECT_EQ(errors, "note 0note 1");
}

// Writing the whole body before reading would fill both directions' buffers
// while the responder echoes, and the two sides would wait on each other.
TEST_F(FastCgiConnection, StreamsALargeBodyWhileTheAnswerComesBack) {
    std::string body(4 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 65536);
    peer = std::thread([&] {
        KoFastCgiRecord record;
        while (responder.next(record)) {
            if (record.type != fastcgi::record::stdinStream) continue;
            if (record.content.empty()) break;
            std::string echo;
            fastcgi::appendRecord(echo, fastcgi::record::stdoutStream, 1, record.content);
            responder.send(echo);
        }
        responder.send(Answer(""));
        responder.drain();
    });
    const auto outcome = Exchange({{}, body}, 20s, body.size());
    EXPECT_EQ(outcome.kind, Kind::completed) << outcome.failure;
    EXPECT_TRUE(outcome.output == body);
}

// A body spilled to a file is sent from it in pieces, whole; one whose
// file cannot be read fails before anything is sent.
TEST_F(FastCgiConnection, SendsABodyFromItsFile) {
    auto made = platform::TemporaryFile::create("velko-fcgi-test-");
    ASSERT_TRUE(made.ok());
    platform::TemporaryFile file = std::move(made.value());
    std::string body(3 << 20, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13 + i / 4099);
    ASSERT_TRUE(file.append(body).ok());
    std::string received;
    peer = std::thread([&] {
        responder.stream(fastcgi::record::params);
        received = responder.stream(fastcgi::record::stdinStream);
        responder.send(Answer("taken"));
        responder.drain();
    });
    KoFastCgiRequest request;
    request.bodyFile = file.path();
    const auto outcome = Exchange(request, 20s);
    EXPECT_EQ(outcome.kind, Kind::completed) << outcome.failure;
    EXPECT_TRUE(received == body);

    request.bodyFile = file.path() + "-gone";
    const auto missing = Exchange(request);
    EXPECT_EQ(missing.kind, Kind::failed);
    EXPECT_TRUE(missing.reusable);
}

TEST_F(FastCgiConnection, BrokenSilentOrGoneResponders) {
    struct Row {
        const char* what;
        std::string reply;       // sent once the request has been read
        bool hangUp;             // the responder closes after its reply
        Kind kind;
        bool reusable = false;
        const char* failure = "";
    } rows[] = {
        {"another request id", Answer("x", 2), false, Kind::failed, false, "it sent a record for request 2"},
        {"cut mid-record", Answer("hello").substr(0, 12), true, Kind::failed, false,
         "the answer was cut in the middle of a record"},
        {"closed before the end", Answer("hello").substr(0, 16), true, Kind::failed, false,
         "the process closed the connection before the end"},
        {"silent", "", false, Kind::timedOut},
        {"too much output", Answer(std::string(100, 'x')), false, Kind::outputTooLarge},
        {"bytes after the end", Answer("x") + "junk", false, Kind::completed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        SetUp();
        peer = std::thread([this, reply = row.reply, hangUp = row.hangUp] {
            responder.stream(fastcgi::record::stdinStream);
            responder.send(reply);
            if (hangUp) responder.fd.reset();
            responder.drain();
        });
        const auto outcome = Exchange({{"A=b"}, "in"}, 300ms, 50);
        EXPECT_EQ(outcome.kind, row.kind);
        EXPECT_EQ(outcome.reusable, row.reusable);
        EXPECT_EQ(outcome.failure.find(row.failure), 0u) << outcome.failure;
    }
}

TEST_F(FastCgiConnection, AnswerBeforeTheBodyWasTakenEndsTheConnection) {
    peer = std::thread([&] {
        responder.stream(fastcgi::record::params);
        responder.send(Answer("early"));
        std::this_thread::sleep_for(100ms);  // unread input stays queued
        responder.drain();
    });
    const auto outcome = Exchange({{}, std::string(8 << 20, 'b')});
    EXPECT_EQ(outcome.kind, Kind::completed);
    EXPECT_EQ(outcome.output, "early");
    EXPECT_FALSE(outcome.reusable);
}

TEST_F(FastCgiConnection, OutputIsHandedOnAsItComesUntilItIsNotWanted) {
    peer = std::thread([&] {
        responder.stream(fastcgi::record::stdinStream);
        std::string first;
        fastcgi::appendRecord(first, fastcgi::record::stdoutStream, 1, "one");
        responder.send(first);
        std::this_thread::sleep_for(200ms);
        std::string second;
        fastcgi::appendRecord(second, fastcgi::record::stdoutStream, 1, "two");
        responder.send(second);
        responder.drain();
    });
    std::vector<std::string> pieces;
    const auto outcome = connection->exchange(
        {{}, "in"}, std::chrono::steady_clock::now() + 5s,
        [&](std::string_view bytes) {
            pieces.emplace_back(bytes.empty() ? "<pause>" : std::string(bytes));
            return bytes != "two";
        },
        50, [](std::string_view) {});
    // The taker wanted nothing after "two": the request cannot finish.
    EXPECT_EQ(outcome.kind, Kind::abandoned);
    EXPECT_FALSE(outcome.reusable);
    EXPECT_TRUE(outcome.output.empty());
    EXPECT_EQ(pieces, (std::vector<std::string>{"one", "<pause>", "two"}));
}

TEST_F(FastCgiConnection, GoneBeforeTheRequestOrStopped) {
    responder.fd.reset();
    EXPECT_EQ(Exchange({{}, "x"}).kind, Kind::unsent);
    TearDown();
    SetUp();
    peer = std::thread([&] { responder.drain(); });
    stop.signal();
    EXPECT_EQ(Exchange({{}, "x"}).kind, Kind::stopped);
}

}  // namespace
