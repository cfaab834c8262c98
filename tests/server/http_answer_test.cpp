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

}  // namespace
