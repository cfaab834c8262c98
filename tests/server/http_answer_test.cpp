#include <gtest/gtest.h>

#include "message/response_header.h"
#include "server/http_answer.h"

namespace {

TEST(KoAccessLogLine, Pieces) {
    KoAccessLogEntry entry;
    entry.remoteAddress = "127.0.0.1";
    entry.protocolName = "HTTP";
    entry.time = KoLogTime(0);
    entry.requestLine = "GET /";
    entry.status = 200;
    entry.bytes = 17;
    entry.userAgent = "curl";
    EXPECT_EQ(KoAccessLogLine(entry),
              "127.0.0.1 - HTTP - [01/Jan/1970:00:00:00 +0000] \"GET /\" --> 200 17 \"-\" \"curl\"");
    EXPECT_EQ(KoLogTime(9'466'848'000'000'000 + 10'000'000 * 61), "01/Jan/2000:00:01:01 +0000");
}

TEST(KoAnswerHead, Lines) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 301;
    response.location = "/d/";
    response.fields["content-type"] = {"text/html"};
    response.fields[kCgiLinesField] = {"X-A: b"};
    EXPECT_EQ(KoAnswerHead(response, 5, true),
              "HTTP/1.1 301 Moved Permanently\r\nServer: tessmar/1.28.1(96)\r\nContent-Length: 5\r\n"
              "Content-Type: text/html\r\nLocation: /d/\r\nX-A: b\r\nConnection: close\r\n\r\n");
}

// An HTTP/1.0 client whose connection was kept was never told so and
// waited for the end of the stream.
TEST(KoAnswerHead, ConnectionFieldByVersion) {
    const struct {
        const char* version;
        bool closing;
        const char* field;  // nullptr: none
    } table[] = {
        {"HTTP/1.0", false, "Connection: keep-alive\r\n"},
        {"HTTP/1.0", true, "Connection: close\r\n"},
        {"HTTP/1.1", false, nullptr},
        {"HTTP/1.1", true, "Connection: close\r\n"},
    };
    for (const auto& row : table) {
        KoXResponseHeader response(3, false, 3);
        response.statusCode = 200;
        response.requestFields[":first:"] = {"GET", "/", row.version};
        const std::string head = KoAnswerHead(response, 0, row.closing);
        const std::size_t at = head.find("Connection:");
        if (row.field == nullptr) {
            EXPECT_EQ(at, std::string::npos) << row.version;
        } else {
            EXPECT_EQ(head.substr(at, std::string(row.field).size()), row.field) << row.version << row.closing;
            EXPECT_EQ(head.find("Connection:", at + 1), std::string::npos);
        }
        EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    }
}

}  // namespace
