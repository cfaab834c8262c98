// A request given as parts (method, target, version, then fields) makes the
// same request object as its text, refusals included.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "message/protocols.h"
#include "message/x_header.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;
    std::string target;
    std::string version = "HTTP/1.1";
    Fields fields;
    std::string body;
};

std::string Text(const Request& r) {
    std::string text = r.method + " " + r.target + " " + r.version + "\r\n";
    for (const auto& [name, value] : r.fields) text += name + ": " + value + "\r\n";
    return text + "\r\n";
}

// The filter refuses a request that asks for it, as a host's might.
bool Admit(KoXHeader& header) { return !header.HasField("x-refuse"); }

struct Outcome {
    int result = -1;
    std::int32_t status = 0;
    std::string reason;
    std::int32_t method = 0;
    std::string path;
    std::string query;
    KoXHeader::FieldMap fields;
    std::size_t hostLines = 0;
    std::uint64_t contentLength = 0;
    std::string body;
    bool closeAfter = false;

    bool operator==(const Outcome&) const = default;
};

// A body, if the header asks for one, is given as an HTTP/2 body is.
Outcome Finish(KoXHeader& header, int result, const std::string& body) {
    if (result == consume_result::NeedMore && !header.ReadingHeader()) {
        header.AppendInput(body);
        result = header.ConsumeHeader(Admit);
    }
    return {result,          header.RefusalStatus(), header.RefusalReason(), header.methodCode.load(),
            header.path,     header.query,           header.fields,          header.HostFieldLines(),
            header.contentLength, result == consume_result::Complete ? header.Body() : "", header.closeAfter};
}

Outcome AsText(const Request& r, const KoMessageLimits& limits) {
    KoXHeader header(0, false, protocol::HTTPS, limits);
    const std::string text = Text(r);
    std::size_t used = 0;
    return Finish(header, header.ConsumeHeaderFrom(text, used, Admit), r.body);
}

Outcome AsParts(const Request& r, const KoMessageLimits& limits) {
    KoXHeader header(0, false, protocol::HTTPS, limits);
    // Parts after a refusal are turned away; the end answers the refusal.
    bool taking = header.TakeRequestLine(r.method, r.target, r.version);
    for (const auto& [name, value] : r.fields) taking = header.TakeField(name, value) && taking;
    const int result = header.ConsumeFields(Admit);
    if (!taking) {
        EXPECT_EQ(result, consume_result::Refused);
    }
    return Finish(header, result, r.body);
}

TEST(KoXHeaderParts, PartsMakeTheSameRequestAsTheirText) {
    KoMessageLimits small;
    small.maxLineLength = 40;
    small.maxHeaderSize = 120;
    small.maxFieldCount = 3;
    small.maxBodySize = 10;
    const Request get{"GET", "/a/b?x=1", "HTTP/1.1", {{"host", "example.org"}, {"accept", "*/*"}}, ""};
    const std::size_t getSize = Text(get).size();

    struct Row {
        const char* name;
        Request request;
        std::int32_t status;  // 0: complete
        KoMessageLimits limits = {};
        // Parts whose text is another request (its line ends or blanks cut it).
        bool partsOnly = false;
    };
    const auto fitting = [&](std::size_t headerSize, std::size_t lineLength) {
        KoMessageLimits l;
        l.maxHeaderSize = headerSize;
        l.maxLineLength = lineLength;
        return l;
    };
    const std::vector<Row> table = {
        {"get with query", get, 0},
        {"lower-case method", {"get", "/", "HTTP/1.1", {}, ""}, 0},
        {"absolute target names the host", {"GET", "http://a.example/p?q=1", "HTTP/1.1", {{"host", "b"}}, ""}, 0},
        {"values trimmed, repeated names gathered, empty dropped",
         {"GET", "/", "HTTP/1.1", {{"x-a", "  one "}, {"x-a", "two"}, {"x-empty", " "}, {"cookie", "a=1; b=2"}}, ""},
         0},
        {"connection close", {"GET", "/", "HTTP/1.1", {{"connection", "keep-alive, close"}}, ""}, 0},
        {"HTTP/1.0 closes", {"GET", "/", "HTTP/1.0", {}, ""}, 0},
        {"post with a body", {"POST", "/f?q", "HTTP/1.1", {{"content-length", "3"}}, "abc"}, 0},
        {"header size exactly", get, 0, fitting(getSize, 64)},
        {"header line exactly", get, 0, fitting(1024, std::string("GET /a/b?x=1 HTTP/1.1").size())},
        {"header one byte too large", get, 431, fitting(getSize - 1, 64)},
        {"header line one byte too long", get, 431, fitting(1024, std::string("GET /a/b?x=1 HTTP/1.1").size() - 1)},
        {"field line too long", {"GET", "/", "HTTP/1.1", {{"x-long", std::string(40, 'v')}}, ""}, 431, small},
        {"too many fields", {"GET", "/", "HTTP/1.1", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}}, ""}, 431, small},
        {"body too large", {"POST", "/", "HTTP/1.1", {{"content-length", "11"}}, ""}, 413, small},
        {"bad name character", {"GET", "/", "HTTP/1.1", {{"x(y", "1"}}, ""}, 400},
        {"blank in a name", {"GET", "/", "HTTP/1.1", {{"x y", "1"}}, ""}, 400},
        {"control byte in a value", {"GET", "/", "HTTP/1.1", {{"x-a", "a\x01z"}}, ""}, 400},
        {"empty framing field", {"POST", "/", "HTTP/1.1", {{"content-length", " "}}, ""}, 400},
        {"length and chunks", {"POST", "/", "HTTP/1.1", {{"content-length", "1"}, {"transfer-encoding", "chunked"}}, ""},
         400},
        {"unknown coding", {"POST", "/", "HTTP/1.1", {{"transfer-encoding", "gzip"}}, ""}, 501},
        {"unknown method", {"BREW", "/", "HTTP/1.1", {}, ""}, 501},
        {"version not supported", {"GET", "/", "HTTP/2.0", {}, ""}, 505},
        {"malformed version", {"GET", "/", "HTTX/1.1", {}, ""}, 400},
        {"bad percent escape", {"GET", "/a%zz", "HTTP/1.1", {}, ""}, 400},
        {"absolute target of another scheme", {"GET", "ftp://a/p", "HTTP/1.1", {}, ""}, 400},
        // As text the blank splits the line into other words.
        {"blank in the target", {"GET", "/a b", "HTTP/1.1", {}, ""}, 400, {}, true},
        {"refused by the filter", {"GET", "/", "HTTP/1.1", {{"x-refuse", "1"}}, ""}, 403},
        {"line end in a value", {"GET", "/", "HTTP/1.1", {{"x-a", "1\r\nx-b: 2"}}, ""}, 400, {}, true},
        {"NUL in a value", {"GET", "/", "HTTP/1.1", {{"x-a", std::string("1\0", 2)}}, ""}, 400, {}, true},
        {"empty line end in a value", {"GET", "/", "HTTP/1.1", {{"x-a", "1\r\n\r\nGET /b"}}, ""}, 400, {}, true},
        {"empty name", {"GET", "/", "HTTP/1.1", {{"", "1"}}, ""}, 400, {}, true},
        {"colon in a name", {"GET", "/", "HTTP/1.1", {{"a:b", "1"}}, ""}, 400, {}, true},
        {"empty method", {"", "/", "HTTP/1.1", {}, ""}, 400, {}, true},
        {"empty target", {"GET", "", "HTTP/1.1", {}, ""}, 400, {}, true},
        {"line end in the target", {"GET", "/\r\nx-a: 1", "HTTP/1.1", {}, ""}, 400, {}, true},
    };
    for (const Row& row : table) {
        const Outcome parts = AsParts(row.request, row.limits);
        EXPECT_EQ(parts.status, row.status) << row.name << ": " << parts.reason;
        EXPECT_EQ(parts.result, row.status == 0 ? consume_result::Complete : consume_result::Refused) << row.name;
        if (row.partsOnly) continue;
        const Outcome text = AsText(row.request, row.limits);
        EXPECT_TRUE(parts == text) << row.name << ": parts refused with \"" << parts.reason << "\", text with \""
                                   << text.reason << "\"";
    }
}

TEST(KoXHeaderParts, PartsOutOfOrderOrAfterTheEndAreRefused) {
    KoXHeader early(0, false, protocol::HTTPS);
    EXPECT_FALSE(early.TakeField("host", "a"));
    EXPECT_EQ(early.ConsumeFields(Admit), consume_result::Refused);
    EXPECT_EQ(early.RefusalStatus(), 400);

    KoXHeader twice(0, false, protocol::HTTPS);
    ASSERT_TRUE(twice.TakeRequestLine("GET", "/", "HTTP/1.1"));
    EXPECT_FALSE(twice.TakeRequestLine("GET", "/b", "HTTP/1.1"));
    EXPECT_EQ(twice.RefusalStatus(), 400);

    KoXHeader ended(0, false, protocol::HTTPS);
    ASSERT_TRUE(ended.TakeRequestLine("GET", "/", "HTTP/1.1"));
    ASSERT_EQ(ended.ConsumeFields(Admit), consume_result::Complete);
    // The header is read: a field now would change a request being served.
    EXPECT_FALSE(ended.TakeField("x-late", "1"));
    EXPECT_FALSE(ended.HasField("x-late"));
    EXPECT_EQ(ended.ConsumeFields(Admit), consume_result::Complete);
}

}  // namespace
