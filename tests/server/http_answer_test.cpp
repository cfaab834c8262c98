#include <gtest/gtest.h>

#include "message/response_header.h"
#include "server/http/http_answer.h"

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

// A user agent 'evil" 200 1 "-" "x' forged the fields after it, and ESC
// sequences in what the client sent reached the terminal unchanged.
TEST(KoAccessLogLine, ClientTextIsEscaped) {
    KoAccessLogEntry entry;
    entry.remoteAddress = "::1";
    entry.protocolName = "HTTP";
    entry.time = KoLogTime(0);
    entry.requestLine = "GET /\x1b[2J\\";
    entry.status = 404;
    entry.bytes = 5;
    entry.referer = "r\xff";
    entry.userAgent = "evil\" 200 1 \"-\" \"x";
    EXPECT_EQ(KoAccessLogLine(entry), "::1 - HTTP - [01/Jan/1970:00:00:00 +0000] \"GET /\\x1B[2J\\x5C\" --> 404 5 "
                                      "\"r\\xFF\" \"evil\\x22 200 1 \\x22-\\x22 \\x22x\"");
}

constexpr const char* kDate = "Sun, 06 Nov 1994 08:49:37 GMT";

TEST(KoAnswerHead, Lines) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 301;
    response.location = "/d/";
    response.fields["content-type"] = {"text/html"};
    response.fields[kCgiLinesField] = {"X-A: b"};
    EXPECT_EQ(KoAnswerHead(response, 5, true, kDate),
              "HTTP/1.1 301 Moved Permanently\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 5\r\nContent-Type: text/html\r\nLocation: /d/\r\nX-A: b\r\nConnection: close\r\n\r\n");
}

TEST(KoAnswerHead, FileFieldsInTheirOrder) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 206;
    response.fields["etag"] = {"\"1-2-3\""};
    response.fields["accept-ranges"] = {"bytes"};
    response.fields["last-modified"] = {kDate};
    response.fields["content-range"] = {"bytes 0-0/9"};
    response.fields["content-type"] = {"text/css"};
    response.fields["cache-control"] = {"no-cache"};
    response.fields["x-not-written"] = {"1"};
    EXPECT_EQ(KoAnswerHead(response, 1, false, kDate),
              "HTTP/1.1 206 Partial Content\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 1\r\nContent-Type: text/css\r\nContent-Range: bytes 0-0/9\r\nAccept-Ranges: bytes\r\n"
              "Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nETag: \"1-2-3\"\r\nCache-Control: no-cache\r\n\r\n");
}

// A 304 and a 204 announced a Content-Length: the client must not take it
// for the length of a body, and there is none.
TEST(KoAnswerHead, NoLengthWhereThereIsNoBody) {
    for (std::int32_t status : {204, 304}) {
        KoXResponseHeader response(3, false, 3);
        response.statusCode = status;
        const std::string head = KoAnswerHead(response, 17, false, kDate);
        EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
        EXPECT_NE(head.find("Date: "), std::string::npos) << head;
        response.Input().sputn("body", 4);
        EXPECT_FALSE(response.SendsBody()) << status;
    }
    KoXResponseHeader ok(3, false, 3);
    ok.statusCode = 200;
    EXPECT_TRUE(ok.SendsBody());
    ok.answersHead = true;
    EXPECT_FALSE(ok.SendsBody());
}

// HEAD of a PHP script said "Content-Length: 0" (php-cgi writes no body for
// HEAD) where its GET sends a body: a script that wrote no body for HEAD
// names no length at all; one that wrote its body names that length.
TEST(KoAnswerHead, ScriptAskedWithHeadNamesNoLengthItDidNotWrite) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 200;
    response.answersHead = true;
    response.fields[kCgiLinesField] = {"Content-Type: text/html"};
    const std::string head = KoAnswerHead(response, 0, false, kDate);
    EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    EXPECT_EQ(head.find("Transfer-Encoding"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Type: text/html\r\n"), std::string::npos) << head;
    EXPECT_NE(KoAnswerHead(response, 10, false, kDate).find("Content-Length: 10\r\n"), std::string::npos);
    // A file's HEAD keeps its GET's length, also an empty one.
    KoXResponseHeader file(3, false, 3);
    file.statusCode = 200;
    file.answersHead = true;
    EXPECT_NE(KoAnswerHead(file, 0, false, kDate).find("Content-Length: 0\r\n"), std::string::npos);
}

TEST(KoAnswerHead, AScriptsOwnDateIsTheOnlyOne) {
    KoXResponseHeader response(3, false, 3);
    response.statusCode = 200;
    response.fields[kCgiLinesField] = {"DATE: Mon, 07 Nov 1994 00:00:00 GMT"};
    const std::string head = KoAnswerHead(response, 0, false, kDate);
    EXPECT_EQ(head.find("Date: "), std::string::npos) << head;
    EXPECT_NE(head.find("DATE: Mon, 07 Nov 1994"), std::string::npos) << head;
}

TEST(KoPlainAnswer, RefusalsAreDatedText) {
    EXPECT_EQ(KoPlainAnswer(405, true, kDate),
              "HTTP/1.1 405 Method Not Allowed\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 23\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n\r\n"
              "405 Method Not Allowed\n");
}

}  // namespace
