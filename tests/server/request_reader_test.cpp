// A connection's requests are read one after the other from its bytes,
// however they arrive: at once, byte by byte, or cut anywhere in two.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "message/x_header.h"
#include "server/connection/request_reader.h"

namespace {

// What the reader made of the requests: each path with its body, or
// "refused <status>".
std::vector<std::string> ReadAll(const std::vector<std::string>& pieces) {
    KoRequestReader reader;
    std::vector<std::string> seen;
    const KoXHeader::Filter filter = [](KoXHeader&) { return true; };
    for (const std::string& piece : pieces) {
        reader.append(piece);
        for (;;) {
            if (!reader.current()) {
                if (reader.held() == 0) break;
                reader.begin(std::make_shared<KoXHeader>(0, false, protocol::HTTP));
            }
            std::shared_ptr<KoXHeader> done;
            const auto outcome = reader.read(filter, done);
            if (outcome == KoRequestReader::Outcome::needMore) break;
            if (outcome == KoRequestReader::Outcome::refused) {
                seen.push_back("refused " + std::to_string(done->RefusalStatus()));
                return seen;
            }
            seen.push_back(done->path + " " + done->Body());
        }
    }
    return seen;
}

struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> expected;
};

TEST(KoRequestReader, PipelinedRequestsAtEverySplit) {
    const std::string get = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string post = "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello";
    const std::string chunked = "POST /c HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n";
    const std::string large = "POST /d HTTP/1.1\r\nHost: x\r\nContent-Length: 9000\r\n\r\n" + std::string(9000, 'z');
    const std::vector<Case> cases = {
        {"three kinds of body", get + post + chunked, {"/a ", "/b hello", "/c abc"}},
        {"a body of several slices", post + large + get, {"/b hello", "/d " + std::string(9000, 'z'), "/a "}},
        {"a bad line after a sound request", get + "BAD\r\n\r\n" + get, {"/a ", "refused 400"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadAll({c.bytes}), c.expected) << c.name << ": at once";
        std::vector<std::string> bytes;
        for (char b : c.bytes) bytes.emplace_back(1, b);
        EXPECT_EQ(ReadAll(bytes), c.expected) << c.name << ": byte by byte";
        for (std::size_t cut = 1; cut < c.bytes.size(); ++cut) {
            ASSERT_EQ(ReadAll({c.bytes.substr(0, cut), c.bytes.substr(cut)}), c.expected) << c.name << ": cut at " << cut;
        }
    }
}

// A filter that throws refuses its request (500) instead of escaping the loop.
TEST(KoRequestReader, AFilterThatThrowsRefusesTheRequest) {
    KoRequestReader reader;
    reader.append("GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    reader.begin(std::make_shared<KoXHeader>(0, false, protocol::HTTP));
    std::shared_ptr<KoXHeader> done;
    const auto outcome = reader.read([](KoXHeader&) -> bool { throw std::runtime_error("planner failed"); }, done);
    EXPECT_EQ(outcome, KoRequestReader::Outcome::refused);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(reader.current(), nullptr);
}

// Field nodes, value lists and input buffers let go of by one request (and
// its answer) are taken up by the next on the same thread: each request of
// a keep-alive connection must still see only the fields it sent.
TEST(KoRequestReader, EachKeepAliveRequestHasOnlyItsOwnFields) {
    // This thread keeps spares, as an event loop's does.
    const spare_buffers::ThreadSpares spares;
    using Fields = KoXHeader::FieldMap;
    const std::string agent(40, 'u');
    struct Step {
        std::string bytes;
        Fields expected;
    };
    const std::vector<Step> steps = {
        {"GET /a HTTP/1.1\r\nHost: x\r\nAccept: a\r\nAccept: b\r\nUser-Agent: " + agent + "\r\n\r\n",
         {{":first:", {"GET", "/a", "HTTP/1.1"}}, {"host", {"x"}}, {"accept", {"a", "b"}}, {"user-agent", {agent}}}},
        {"GET /b HTTP/1.1\r\nHost: y\r\n\r\n", {{":first:", {"GET", "/b", "HTTP/1.1"}}, {"host", {"y"}}}},
        {"POST /c HTTP/1.0\r\nContent-Length: 2\r\nAccept: c\r\n\r\nhi",
         {{":first:", {"POST", "/c", "HTTP/1.0"}}, {"content-length", {"2"}}, {"accept", {"c"}}}},
        {"HEAD / HTTP/1.1\r\nhost: z\r\n\r\n", {{":first:", {"HEAD", "/", "HTTP/1.1"}}, {"host", {"z"}}}},
    };
    KoRequestReader reader;
    const KoXHeader::Filter filter = [](KoXHeader&) { return true; };
    for (int round = 0; round < 2; ++round) {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            reader.append(steps[i].bytes);
            reader.begin(std::make_shared<KoXHeader>(0, false, protocol::HTTP));
            std::shared_ptr<KoXHeader> done;
            ASSERT_EQ(reader.read(filter, done), KoRequestReader::Outcome::complete) << "request " << i;
            EXPECT_EQ(done->fields, steps[i].expected) << "request " << i << ", round " << round;
            EXPECT_EQ(reader.held(), 0u) << "request " << i;
            // Its answer takes nodes too and gives them back with the request's.
            auto answer = done->MakeAnswer();
            answer->FieldValues("etag").push_back("\"tag-" + std::to_string(i) + "\"");
            answer->FieldValues("content-type").push_back("application/octet-stream");
            EXPECT_EQ(answer->fields.size(), 2u);
            EXPECT_EQ(answer->fields["etag"], std::vector<std::string>{"\"tag-" + std::to_string(i) + "\""});
            answer.reset();
            done.reset();
            // Between requests, as a connection that settles.
            reader.release();
        }
    }
}

}  // namespace
