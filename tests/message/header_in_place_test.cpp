// The header read in place from a connection's input (ConsumeHeaderFrom)
// against the same bytes given by AppendInput (ConsumeHeader), whole, split
// at every offset and byte by byte; and the byte limits against a model
// that counts byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/http_tables.h"
#include "message/x_header.h"
#include "split_harness.h"

namespace {

struct InPlace {
    split_harness::Outcome outcome;
    std::string reason;
    std::size_t copiedLine = 0;  // the longest line start held back
};

// Feeds pieces as the HTTP layer does: they join the connection's input,
// the header is read where it lies, a body goes in by AppendInput, and
// what the message did not take is the remainder.
InPlace FeedInPlace(const std::vector<std::string>& pieces, const KoMessageLimits& limits = {}) {
    auto header = split_harness::NewHeader(limits);
    std::string carry;
    std::size_t at = 0;
    int result = consume_result::NeedMore;
    for (const std::string& piece : pieces) {
        carry += piece;
        while (result == consume_result::NeedMore && at < carry.size()) {
            const std::string_view rest = std::string_view(carry).substr(at);
            if (header->ReadingHeader()) {
                std::size_t used = 0;
                result = header->ConsumeHeaderFrom(rest, used, split_harness::Admit());
                EXPECT_LE(used, rest.size());
                at += used;
                if (result == consume_result::NeedMore && header->ReadingHeader()) break;
                continue;
            }
            header->AppendInput(rest);
            at = carry.size();
            result = header->ConsumeHeader(split_harness::Admit());
        }
    }
    InPlace out;
    out.reason = header->RefusalReason();
    out.outcome = split_harness::Capture(*header, result);
    if (result == consume_result::Complete) out.outcome.remainder += carry.substr(at);
    // A CR that waits for its LF is still unread, where the streamed parse
    // keeps it in its input.
    if (result == consume_result::NeedMore && header->ReadingHeader()) out.outcome.body += carry.substr(at);
    return out;
}

struct Streamed {
    split_harness::Outcome outcome;
    std::string reason;
};

Streamed FeedStreamed(const std::vector<std::string>& pieces, const KoMessageLimits& limits = {}) {
    auto header = split_harness::NewHeader(limits);
    int result = consume_result::NeedMore;
    for (const std::string& piece : pieces) {
        header->AppendInput(piece);
        if (result == consume_result::NeedMore) result = header->ConsumeHeader(split_harness::Admit());
    }
    Streamed out;
    out.reason = header->RefusalReason();
    out.outcome = split_harness::Capture(*header, result);
    return out;
}

::testing::AssertionResult SameInPlaceAtEverySplit(const std::string& message, const KoMessageLimits& limits = {}) {
    const Streamed whole = FeedStreamed({message}, limits);
    std::vector<std::vector<std::string>> ways;
    for (std::size_t at = 0; at <= message.size(); ++at) ways.push_back({message.substr(0, at), message.substr(at)});
    std::vector<std::string> bytes;
    for (char c : message) bytes.emplace_back(1, c);
    ways.push_back(bytes);
    for (const auto& pieces : ways) {
        const InPlace split = FeedInPlace(pieces, limits);
        if (!(split.outcome == whole.outcome) || split.reason != whole.reason) {
            return ::testing::AssertionFailure()
                   << "differs fed as " << pieces.size() << " pieces, the first of " << pieces.front().size()
                   << " bytes: result " << split.outcome.result << " (" << split.reason << ") vs "
                   << whole.outcome.result << " (" << whole.reason << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

KoMessageLimits Tight() {
    KoMessageLimits limits;
    limits.maxLineLength = 16;
    limits.maxHeaderSize = 48;
    limits.maxFieldCount = 4;
    limits.maxBodySize = 8;
    return limits;
}

}  // namespace

TEST(KoXHeaderInPlace, ReadsAsTheStreamedParseAtEverySplit) {
    struct Row {
        const char* name;
        std::string bytes;
    };
    const std::vector<Row> table = {
        {"get", "GET /index.html HTTP/1.1\r\nHost: localhost:8080\r\nUser-Agent: wrk\r\n\r\n"},
        {"query", "GET /a?x=1&y=%41 HTTP/1.1\r\nHost: a\r\n\r\n"},
        {"absolute target", "GET http://h:1/p?q HTTP/1.1\r\nHost: other\r\n\r\n"},
        {"pipelined", "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n"},
        {"body then next", "POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabGET / HTTP/1.1\r\n\r\n"},
        {"empty body", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
        {"chunked then next", "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "4\r\nWiki\r\n0\r\nX-T: t\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
        {"leading empty lines", "\r\n\r\nGET / HTTP/1.1\r\n\r\n"},
        {"status line", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nabc"},
        {"unknown first line", "BREW /pot HTCPCP/1.0\r\n\r\nrest"},
        {"bare CR", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n"},
        {"bare LF", "GET / HTTP/1.1\nHost: a\r\n\r\n"},
        {"NUL", std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 27)},
        {"folded", "GET / HTTP/1.1\r\nX: a\r\n b\r\n\r\n"},
        {"blank in a name", "GET / HTTP/1.1\r\nX Y: a\r\n\r\n"},
        {"ends inside a line", "GET / HTTP/1.1\r\nHost: a"},
        {"ends after a CR", "GET / HTTP/1.1\r\nHost: a\r"},
        {"version 2", "GET /x HTTP/2.0\r\n\r\n"},
        {"conflicting lengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab"},
        {"leading colon", "POST / HTTP/1.1\r\n:Content-Length: 2\r\n\r\nab"},
        {"line without a colon", "GET / HTTP/1.1\r\nno colon\r\n\r\n"},
        {"name that is no token", "GET / HTTP/1.1\r\nHost=evil/: x\r\n\r\n"},
        {"control byte in a value", "GET / HTTP/1.1\r\nX: a\x01\r\n\r\n"},
        {"malformed escape in the path", "GET /a%2/b HTTP/1.1\r\n\r\n"},
    };
    for (const Row& row : table) {
        EXPECT_TRUE(SameInPlaceAtEverySplit(row.bytes)) << row.name;
        EXPECT_TRUE(SameInPlaceAtEverySplit(row.bytes, Tight())) << row.name << " (tight limits)";
    }
}

TEST(KoXHeaderInPlace, WholeHeaderIsReadWithoutHoldingALineBack) {
    const std::string message = "GET /index.html HTTP/1.1\r\nHost: a\r\n\r\nGET /next HTTP/1.1\r\n\r\n";
    KoXHeader header(0, false, protocol::HTTP);
    std::size_t used = 0;
    ASSERT_EQ(header.ConsumeHeaderFrom(message, used, split_harness::Admit()), consume_result::Complete);
    // It stops right behind its own header and leaves the next request.
    EXPECT_EQ(message.substr(used), "GET /next HTTP/1.1\r\n\r\n");
    EXPECT_EQ(header.TakeRemainder(), "");
    EXPECT_EQ(header.path, "/index.html");
    EXPECT_EQ(header.FirstValue("host"), "a");
    EXPECT_EQ(header.BodySize(), 0u);
    // Complete stays complete and takes nothing more.
    EXPECT_EQ(header.ConsumeHeaderFrom("more", used, split_harness::Admit()), consume_result::Complete);
    EXPECT_EQ(used, 0u);
}

TEST(KoXHeaderInPlace, CrAtTheEndOfTheInputIsLeftForTheNextBytes) {
    KoXHeader header(0, false, protocol::HTTP);
    std::string input = "GET / HTTP/1.1\r";
    std::size_t used = 0;
    ASSERT_EQ(header.ConsumeHeaderFrom(input, used, split_harness::Admit()), consume_result::NeedMore);
    EXPECT_EQ(used, input.size() - 1);
    input = input.substr(used) + "\n\r\n";
    ASSERT_EQ(header.ConsumeHeaderFrom(input, used, split_harness::Admit()), consume_result::Complete);
    EXPECT_EQ(used, input.size());
    EXPECT_EQ(header.methodCode.load(), method_code::GET);
}

namespace {

// What the byte limits make of a header, counted byte by byte: the header
// size is tested before the line length at each byte, line ends count
// against the header, a CR must be followed by LF.
std::string ModelRefusal(const std::string& bytes, const KoMessageLimits& limits) {
    std::size_t header = 0;
    std::size_t line = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (++header > limits.maxHeaderSize) return "header too large";
        if (c == '\r') {
            if (i + 1 == bytes.size()) return "";
            if (bytes[i + 1] != '\n') return "CR without LF in the header";
            if (++header > limits.maxHeaderSize) return "header too large";
            ++i;
            if (line == 0) return "";  // the header ends
            line = 0;
            continue;
        }
        if (c == '\n') return "LF without CR in the header";
        if (c == '\0') return "NUL in the header";
        if (++line > limits.maxLineLength) return "header line too long";
    }
    return "";
}

}  // namespace

TEST(KoXHeaderInPlace, ByteLimitsRefuseAtTheFirstByteBeyondThem) {
    KoMessageLimits limits;
    limits.maxLineLength = 16;
    limits.maxHeaderSize = 40;
    // Lines around both limits, and line ends that fall right on them.
    std::vector<std::string> messages;
    for (std::size_t first = 14; first <= 18; ++first) {
        for (std::size_t field = 4; field <= 18; ++field) {
            const std::string request = "GET /" + std::string(first - 14, 'a') + " HTTP/1.1";
            std::string message = request + "\r\nX: " + std::string(field - 3, 'v') + "\r\n";
            messages.push_back(message + "\r\n");
            messages.push_back(message + "Y: w\r\n\r\n");
            messages.push_back(message + "Y: w\rz\r\n\r\n");
        }
    }
    for (const std::string& message : messages) {
        const std::string expected = ModelRefusal(message, limits);
        const Streamed streamed = FeedStreamed({message}, limits);
        if (!expected.empty()) {
            EXPECT_EQ(streamed.outcome.result, consume_result::Refused) << message;
            EXPECT_EQ(streamed.reason, expected) << message;
        } else {
            EXPECT_TRUE(streamed.reason != "header too large" && streamed.reason != "header line too long") << message;
        }
        EXPECT_TRUE(SameInPlaceAtEverySplit(message, limits)) << message;
    }
}
