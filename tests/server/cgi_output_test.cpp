// The header block of CGI output, fed whole, split in two at every offset
// and byte by byte: every way of feeding gives the same outcome, and the
// body is exactly what follows the block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/scripts/cgi_output.h"

namespace {

using Status = KoCgiOutputParser::Status;

struct Outcome {
    Status status = Status::needMore;
    std::int32_t code = 0;
    std::vector<std::string> lines;
    std::string location;
    std::string body;
    std::string reason;
    std::uint64_t bodyOffset = 0;

    bool operator==(const Outcome&) const = default;
};

Outcome Feed(const std::vector<std::string>& pieces, std::size_t limit = KoCgiOutputParser::kDefaultHeaderLimit) {
    KoCgiOutputParser parser(limit);
    Outcome o;
    for (const std::string& piece : pieces) {
        std::size_t used = 0;
        const Status status = parser.feed(piece, used);
        EXPECT_LE(used, piece.size());
        if (status == Status::complete) o.body += piece.substr(used);
        if (status == Status::needMore) {
            EXPECT_EQ(used, piece.size());
        }
    }
    o.status = parser.finish();
    o.reason = parser.reason();
    if (o.status == Status::complete) {
        o.code = parser.head().status;
        o.lines = parser.head().headerLines;
        o.location = parser.head().location;
        o.bodyOffset = parser.bodyOffset();
    } else {
        o.body.clear();
    }
    return o;
}

::testing::AssertionResult SameAtEverySplit(const std::string& output, std::size_t limit) {
    const Outcome whole = Feed({output}, limit);
    for (std::size_t at = 0; at <= output.size(); ++at) {
        if (!(Feed({output.substr(0, at), output.substr(at)}, limit) == whole)) {
            return ::testing::AssertionFailure() << "differs when split at " << at;
        }
    }
    std::vector<std::string> bytes;
    for (char c : output) bytes.emplace_back(1, c);
    if (!(Feed(bytes, limit) == whole)) return ::testing::AssertionFailure() << "differs byte by byte";
    return ::testing::AssertionSuccess();
}

struct Row {
    const char* name;
    std::string output;
    Status status;
    std::int32_t code = 0;
    std::vector<std::string> lines = {};
    std::string location = "";
    std::string body = "";
    std::size_t limit = KoCgiOutputParser::kDefaultHeaderLimit;
};

// Before, output without the blank line became the body of a 200, header
// lines that were no "name: value" passed, and the script's framing and
// hop-by-hop fields reached the wire beside the server's own.
const std::vector<Row> kRows = {
    {"plain", "Content-Type: text/plain\r\n\r\nhello", Status::complete, 200, {"Content-Type: text/plain"}, "", "hello"},
    {"bare line ends", "Content-Type: text/plain\n\nhi\r\n", Status::complete, 200, {"Content-Type: text/plain"}, "", "hi\r\n"},
    {"mixed line ends", "A: 1\nB: 2\r\n\nbody", Status::complete, 200, {"A: 1", "B: 2"}, "", "body"},
    {"value trimmed, inner blanks kept", "X-A:   a  b \t\r\n\r\n", Status::complete, 200, {"X-A: a  b"}},
    {"status", "Status: 404 Not Found\r\nX-A: b\r\n\r\nnope", Status::complete, 404, {"X-A: b"}, "", "nope"},
    {"status without reason", "status: 201\r\n\r\n", Status::complete, 201},
    {"location", "Location: /x\n\n", Status::complete, 302, {}, "/x"},
    {"location with status", "Status: 303\r\nLocation: /y\r\n\r\n", Status::complete, 303, {}, "/y"},
    {"body holds a blank line", "A: b\r\n\r\nx\r\n\r\ny", Status::complete, 200, {"A: b"}, "", "x\r\n\r\ny"},
    {"framing and hop-by-hop dropped",
     "Content-Length: 99\r\nTransfer-Encoding: chunked\r\nConnection: close\r\nKeep-Alive: timeout=5\r\n"
     "Upgrade: h2c\r\nTrailer: X\r\nTE: trailers\r\nProxy-Connection: keep-alive\r\nproxy-authenticate: Basic\r\n"
     "PROXY-AUTHORIZATION: x\r\nX-Kept: 1\r\n\r\n0\r\n\r\n",
     Status::complete, 200, {"X-Kept: 1"}, "", "0\r\n\r\n"},
    {"only dropped fields", "Connection: close\r\n\r\nb", Status::complete, 200, {}, "", "b"},
    {"no output", "", Status::malformed},
    {"no blank line", "Content-Type: text/plain\r\nX: y\r\n", Status::malformed},
    {"line without end", "Content-Type: text/plain", Status::malformed},
    {"text, no header", "just text\r\n\r\nmore", Status::malformed},
    {"empty block", "\r\nbody", Status::malformed},
    {"blank in name", "Content Type: x\r\n\r\n", Status::malformed},
    {"blank before colon", "Content-Type : x\r\n\r\n", Status::malformed},
    {"empty name", ": x\r\n\r\n", Status::malformed},
    {"name with a slash", "A/B: x\r\n\r\n", Status::malformed},
    {"folded line", "A: x\r\n  folded\r\n\r\n", Status::malformed},
    {"CR inside a value", "A: x\rSet-Cookie: y\r\n\r\n", Status::malformed},
    {"two CRs before LF", "A: x\r\r\n\r\n", Status::malformed},
    {"NUL in a value", std::string("A: x\0y\r\n\r\n", 10), Status::malformed},
    {"control byte in a value", "A: x\x01y\r\n\r\n", Status::malformed},
    {"status not a number", "Status: abc\r\n\r\n", Status::malformed},
    {"interim status", "Status: 101 Switching Protocols\r\n\r\n", Status::malformed},
    {"status too large", "Status: 600\r\n\r\n", Status::malformed},
    {"status with letters behind", "Status: 200OK\r\n\r\n", Status::malformed},
    {"at the limit", "A: 12\r\n\r\nbody", Status::complete, 200, {"A: 12"}, "", "body", 9},
    {"past the limit", "A: 123\r\n\r\nbody", Status::malformed, 0, {}, "", "", 9},
    {"long line past the limit", "A: " + std::string(20, 'x'), Status::malformed, 0, {}, "", "", 9},
};

TEST(KoCgiOutputParser, EveryRowAtEverySplit) {
    for (const Row& row : kRows) {
        const Outcome o = Feed({row.output}, row.limit);
        EXPECT_EQ(o.status, row.status) << row.name << ": " << o.reason;
        EXPECT_EQ(o.code, row.code) << row.name;
        EXPECT_EQ(o.lines, row.lines) << row.name;
        EXPECT_EQ(o.location, row.location) << row.name;
        EXPECT_EQ(o.body, row.body) << row.name;
        EXPECT_EQ(o.reason.empty(), row.status == Status::complete) << row.name;
        if (o.status == Status::complete) {
            EXPECT_EQ(o.bodyOffset + o.body.size(), row.output.size()) << row.name;
        }
        EXPECT_TRUE(SameAtEverySplit(row.output, row.limit)) << row.name;
    }
}

TEST(KoCgiOutputParser, NeverNeedsTheWholeOutput) {
    // A streaming caller learns the block is complete before the body ends.
    KoCgiOutputParser parser;
    std::size_t used = 0;
    EXPECT_EQ(parser.feed("Content-Type: text/plain\r\n", used), Status::needMore);
    EXPECT_EQ(parser.feed("\r\nfirst part of a long body", used), Status::complete);
    EXPECT_EQ(used, 2u);
    EXPECT_EQ(parser.feed("more body", used), Status::complete);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(parser.finish(), Status::complete);

    // Once malformed it stays so.
    KoCgiOutputParser broken;
    EXPECT_EQ(broken.feed("bad line\r\n", used), Status::malformed);
    EXPECT_EQ(broken.feed("A: b\r\n\r\n", used), Status::malformed);
    EXPECT_EQ(broken.finish(), Status::malformed);
    EXPECT_EQ(broken.reason(), "header line without a colon");
}

TEST(parseCgiOutput, SplitsTheBlockFromTheBody) {
    const KoCgiAnswer answer = parseCgiOutput("Status: 404 Not Found\r\nContent-Length: 99\r\nX-A: b\r\n\r\nbody");
    EXPECT_TRUE(answer.wellFormed);
    EXPECT_EQ(answer.head.status, 404);
    EXPECT_EQ(answer.head.headerLines, std::vector<std::string>{"X-A: b"});
    EXPECT_EQ(answer.body, "body");

    const KoCgiAnswer text = parseCgiOutput("no header\r\n\r\nbody");
    EXPECT_FALSE(text.wellFormed);
    EXPECT_EQ(text.body, "");
    EXPECT_EQ(text.reason, "header line without a colon");
    EXPECT_EQ(parseCgiOutput("A: b\r\n").reason, "output ended before the empty line that ends the header block");
    EXPECT_EQ(parseCgiOutput("").reason, "no output");
    EXPECT_EQ(parseCgiOutput("A: 1234\r\n\r\n", 8).reason, "header block larger than 8 bytes");
}

}  // namespace
