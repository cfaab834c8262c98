// KoScriptStream: a script's answer made as its output comes, whole when it
// is short and ends soon, streamed through a bounded KoBodyStream when not.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"
#include "server/scripts/script_stream.h"

namespace {

using namespace std::chrono_literals;
using Taken = KoBodyStream::Taken;

std::shared_ptr<KoXResponseHeader> AnswerTo(const std::string& requestLine) {
    KoXHeader request(method_code::NONE, false, 3);
    request.messageKind.store(message_kind::Request);
    request.AppendInput(requestLine + "\r\nHost: x\r\n\r\n");
    EXPECT_EQ(request.ConsumeHeader([](KoXHeader&) { return true; }), consume_result::Complete);
    auto response = request.MakeAnswer();
    response->statusCode = 200;
    return response;
}

// What the stream handed to the connection.
struct Delivered {
    std::mutex lock;
    std::vector<std::shared_ptr<KoXResponseHeader>> answers;

    KoScriptStream::Deliver sink() {
        return [this](std::shared_ptr<KoXResponseHeader> response) {
            std::lock_guard<std::mutex> guard(lock);
            answers.push_back(std::move(response));
        };
    }
    std::shared_ptr<KoXResponseHeader> only() {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? nullptr : answers.front();
    }
    std::shared_ptr<KoXResponseHeader> await() {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!answers.empty()) return answers.front();
            }
            std::this_thread::sleep_for(10ms);
        }
        return nullptr;
    }
};

std::shared_ptr<KoScriptStream> Make(Delivered& delivered, std::size_t bound = 64,
                                     const std::string& requestLine = "GET /s HTTP/1.1") {
    KoScriptStream::Limits limits;
    limits.bound = bound;
    auto stream = std::make_shared<KoScriptStream>(AnswerTo(requestLine), "s.sh", limits, delivered.sink());
    stream->started(KoScriptOutput::Clock::now() + 10s);
    return stream;
}

// Reads a streamed body to its end: the bytes, and how it ended.
std::string ReadBody(KoBodyStream& source, Taken& last) {
    std::string all, piece;
    for (int i = 0; i < 5000; ++i) {
        last = source.take(piece, 5);
        if (last == Taken::bytes) {
            all += piece;
        } else if (last == Taken::empty) {
            std::this_thread::sleep_for(1ms);
        } else {
            break;
        }
    }
    return all;
}

TEST(KoScriptStream, ShortOutputIsAnsweredWholeAtEverySplit) {
    const struct {
        const char* what;
        std::string output;
        std::int32_t status;
        std::string body;
    } rows[] = {
        {"fields and body", "Status: 201\r\nContent-Type: text/plain\nX-A: b\r\n\r\nhello body", 201, "hello body"},
        {"no body", "Location: /x\r\n\r\n", 302, ""},
        {"no blank line", "Content-Type: text/plain\r\n", 502, ""},
        {"no colon", "Content-Type: a\r\nnot a field\r\n\r\nbody", 502, ""},
        {"nothing", "", 502, ""},
    };
    for (const auto& row : rows) {
        for (std::size_t split = 0; split <= row.output.size(); ++split) {
            SCOPED_TRACE(std::string(row.what) + " split at " + std::to_string(split));
            testing::internal::CaptureStderr();
            Delivered delivered;
            auto stream = Make(delivered);
            // The runner stops feeding once take says no, and the run then
            // counts as failed.
            const bool fed = stream->take(std::string_view(row.output).substr(0, split)) &&
                             stream->take(std::string_view(row.output).substr(split));
            stream->finish(fed ? 0 : 502);
            const std::string errors = testing::internal::GetCapturedStderr();
            auto answer = delivered.only();
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->statusCode, row.status);
            EXPECT_FALSE(answer->lengthUnknown);
            EXPECT_EQ(answer->Body(), row.body);
            EXPECT_EQ(row.status == 502, errors.find("CGI output of s.sh is malformed") != std::string::npos)
                << errors;
        }
    }
}

TEST(KoScriptStream, OutputPastTheBoundIsStreamedWhileTheRunWaits) {
    Delivered delivered;
    auto stream = Make(delivered, 16);
    std::string body;
    for (int i = 0; i < 40; ++i) body += static_cast<char>('a' + i % 26);
    std::thread run([&] {
        EXPECT_TRUE(stream->take("Content-Type: text/plain\r\n\r\n"));
        for (std::size_t at = 0; at < body.size(); at += 7) EXPECT_TRUE(stream->take(body.substr(at, 7)));
        stream->finish(0);
    });
    auto answer = delivered.await();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->lengthUnknown);
    ASSERT_TRUE(answer->bodySource);
    EXPECT_NE(KoAnswerHead(*answer, 0, false).find("Transfer-Encoding: chunked\r\n"), std::string::npos);
    Taken last = Taken::empty;
    EXPECT_EQ(ReadBody(*answer->bodySource, last), body);
    run.join();
    EXPECT_EQ(last, Taken::ended);
    // The bound and one piece at most.
    EXPECT_LE(answer->bodySource->peakHeld(), 16u + 7u);
}

TEST(KoScriptStream, PauseAfterTheHeaderBlockSendsTheHead) {
    Delivered delivered;
    auto stream = Make(delivered);
    EXPECT_TRUE(stream->take("Content-Type: text/plain\r\n"));
    // The header block is not complete: nothing can go out yet.
    EXPECT_TRUE(stream->paused());
    EXPECT_TRUE(delivered.answers.empty());
    EXPECT_TRUE(stream->take("\r\nab"));
    EXPECT_TRUE(stream->paused());
    auto answer = delivered.only();
    ASSERT_TRUE(answer && answer->bodySource);
    EXPECT_TRUE(stream->take("cd"));
    stream->finish(0);
    Taken last = Taken::empty;
    EXPECT_EQ(ReadBody(*answer->bodySource, last), "abcd");
    EXPECT_EQ(last, Taken::ended);
}

TEST(KoScriptStream, FailureAfterTheHeadCutsTheBodyAndBeforeIsItsStatus) {
    Delivered delivered;
    auto stream = Make(delivered);
    stream->take("X-A: b\r\n\r\npart");
    stream->paused();
    testing::internal::CaptureStderr();
    stream->finish(504);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("s.sh was cut short: its time ran out"), std::string::npos);
    auto answer = delivered.only();
    ASSERT_TRUE(answer && answer->bodySource);
    Taken last = Taken::empty;
    EXPECT_EQ(ReadBody(*answer->bodySource, last), "part");
    EXPECT_EQ(last, Taken::cut);

    Delivered early;
    auto failed = Make(early);
    failed->take("X-A: b\r\n\r\npart");
    failed->finish(504);
    auto status = early.only();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->statusCode, 504);
    EXPECT_EQ(status->fields.count(kCgiLinesField), 0u);
    EXPECT_EQ(status->Body(), "");
}

TEST(KoScriptStream, HeadIsAnsweredWithoutABodyWhileTheOutputIsRead) {
    Delivered delivered;
    auto stream = Make(delivered, 16, "HEAD /s HTTP/1.1");
    EXPECT_TRUE(stream->take("Content-Type: text/plain\r\n\r\n" + std::string(100, 'x')));
    auto answer = delivered.only();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->lengthUnknown);
    EXPECT_FALSE(answer->bodySource);
    EXPECT_TRUE(stream->take(std::string(100, 'y')));
    stream->finish(0);
    EXPECT_EQ(delivered.answers.size(), 1u);
}

TEST(KoScriptStream, ReaderThatGoesEndsTheRun) {
    Delivered delivered;
    auto stream = Make(delivered);
    stream->take("X-A: b\r\n\r\n");
    stream->paused();
    delivered.answers.clear();  // the connection closed: its reader goes
    EXPECT_FALSE(stream->take("more"));
    EXPECT_FALSE(stream->paused());
}

TEST(KoScriptStream, StopWakesARunWaitingForItsClient) {
    Delivered delivered;
    auto stream = Make(delivered, 4);
    KoScriptStreams streams;
    streams.add(stream);
    std::thread run([&] {
        EXPECT_TRUE(stream->take("X-A: b\r\n\r\n0123456789"));
        // Held up: nobody reads.
        EXPECT_FALSE(stream->take("more"));
        stream->finish(502);
    });
    auto answer = delivered.await();
    ASSERT_TRUE(answer && answer->bodySource);
    std::this_thread::sleep_for(50ms);
    testing::internal::CaptureStderr();
    streams.stopAll();
    run.join();
    testing::internal::GetCapturedStderr();
    std::string piece;
    EXPECT_EQ(answer->bodySource->take(piece, 64), Taken::cut);

    // Runs that come later are stopped at once; one that had sent nothing is
    // answered 503.
    Delivered late;
    auto after = Make(late);
    streams.add(after);
    EXPECT_FALSE(after->take("X-A: b\r\n\r\n"));
    after->finish(502);
    ASSERT_TRUE(late.only());
    EXPECT_EQ(late.only()->statusCode, 503);
}

}  // namespace
