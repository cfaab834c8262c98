#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// Each piece the client chose is escaped on its own; the others and the
// server's own pieces stay as they are.
TEST(KoAccessLogLine, OnlyTheClientsPieceIsEscapedTable) {
    const struct {
        const char* remote;
        const char* request;
        const char* referer;
        const char* agent;
        const char* expected;
    } table[] = {
        {"a\"", "GET /", "-", "-", "a\\x22 - HTTPS - [t] \"GET /\" --> 200 0 \"-\" \"-\""},
        {"a", "GET /\"", "-", "-", "a - HTTPS - [t] \"GET /\\x22\" --> 200 0 \"-\" \"-\""},
        {"a", "GET /", "r\n", "-", "a - HTTPS - [t] \"GET /\" --> 200 0 \"r\\x0A\" \"-\""},
        {"a", "GET /", "-", "\\", "a - HTTPS - [t] \"GET /\" --> 200 0 \"-\" \"\\x5C\""},
        {"a", "GET /", "-", "-", "a - HTTPS - [t] \"GET /\" --> 200 0 \"-\" \"-\""},
    };
    for (const auto& row : table) {
        KoAccessLogEntry entry;
        entry.remoteAddress = row.remote;
        entry.protocolName = "HTTPS";
        entry.time = "t";
        entry.requestLine = row.request;
        entry.status = 200;
        entry.referer = row.referer;
        entry.userAgent = row.agent;
        EXPECT_EQ(KoAccessLogLine(entry), row.expected);
    }
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

// The head is made of the answer's own fields, the site's default fields
// where the answer and its script do not name them, and the script's lines.
TEST(KoAnswerHead, OwnDefaultAndScriptFieldsTable) {
    using Fields = std::vector<std::pair<std::string, std::vector<std::string>>>;
    using Defaults = KoXResponseHeader::DefaultFields;
    const struct {
        const char* name;
        Fields fields;
        Defaults defaults;
        bool hasDefaults;
        std::string expected;  // the lines after Content-Length
    } table[] = {
        {"no fields, no defaults", {}, {}, false, ""},
        {"defaults alone, in the head's order",
         {},
         {{"referrer-policy", "no-referrer"}, {"x-frame-options", "DENY"}, {"x-unknown", "1"}},
         true,
         "X-Frame-Options: DENY\r\nReferrer-Policy: no-referrer\r\n"},
        {"a field wins over its default",
         {{"x-frame-options", {"SAMEORIGIN"}}},
         {{"x-frame-options", "DENY"}},
         true,
         "X-Frame-Options: SAMEORIGIN\r\n"},
        {"a field without values writes nothing, nor its default",
         {{"x-frame-options", {}}},
         {{"x-frame-options", "DENY"}},
         true,
         ""},
        {"the first default of a name decides",
         {},
         {{"vary", "Origin"}, {"vary", "Accept"}},
         true,
         "Vary: Origin\r\n"},
        {"a script that names a default keeps its own line",
         {{kCgiLinesField, {"X-Frame-Options: ALLOW", "X-B: c"}}},
         {{"x-frame-options", "DENY"}, {"referrer-policy", "origin"}},
         true,
         "Referrer-Policy: origin\r\nX-Frame-Options: ALLOW\r\nX-B: c\r\n"},
        {"fields and defaults mixed, others not written",
         {{"etag", {"\"t\""}}, {"a-first", {"1"}}, {"content-type", {"text/css"}}, {"zz-last", {"2"}}},
         {{"content-security-policy", "default-src 'self'"}, {"content-type", "text/plain"}},
         true,
         "Content-Type: text/css\r\nETag: \"t\"\r\nContent-Security-Policy: default-src 'self'\r\n"},
        {"line breaks in values cannot start lines of their own",
         {{"content-type", {"text/html\r\nSet-Cookie: a=b"}}, {"etag", {"\"x\nX-Evil: 1\""}},
          {kCgiLinesField, {"X-C: d\rX-D: e"}}},
         {{"vary", "\rOrigin\n"}},
         true,
         "Content-Type: text/htmlSet-Cookie: a=b\r\nETag: \"xX-Evil: 1\"\r\nVary: Origin\r\nX-C: dX-D: e\r\n"},
    };
    for (const auto& row : table) {
        KoXResponseHeader response(3, false, 3);
        response.statusCode = 200;
        for (const auto& [name, values] : row.fields) response.fields[name] = values;
        if (row.hasDefaults) response.defaultFields = std::make_shared<const Defaults>(row.defaults);
        const std::string head = KoAnswerHead(response, 0, false, kDate);
        const std::string lengthLine = "Content-Length: 0\r\n";
        const std::size_t after = head.find(lengthLine);
        ASSERT_NE(after, std::string::npos) << row.name << "\n" << head;
        EXPECT_EQ(head.substr(after + lengthLine.size()), row.expected + "\r\n") << row.name;
    }
}

// One Server line at most: the script's, else the answer's (empty: none),
// else the site's default (empty: none), else the product token.
TEST(KoAnswerHead, ServerLineTable) {
    using Defaults = KoXResponseHeader::DefaultFields;
    const struct {
        const char* name;
        const char* field;  // the answer's "server", null: none
        const char* byDefault;  // the site's, null: none
        const char* scriptLine;  // null: none
        std::string expected;  // the Server line, or none when empty
    } table[] = {
        {"product token", nullptr, nullptr, nullptr, "Server: tessmar/1.28.1(96)\r\n"},
        {"the answer's own", "mine", "site", nullptr, "Server: mine\r\n"},
        {"the answer's empty: none", "", "site", nullptr, ""},
        {"the site's", nullptr, "site", nullptr, "Server: site\r\n"},
        {"the site's empty: none", nullptr, "", nullptr, ""},
        {"the script's wins", "mine", "site", "Server: script", ""},
    };
    for (const auto& row : table) {
        KoXResponseHeader response(3, false, 3);
        response.statusCode = 200;
        if (row.field != nullptr) response.fields["server"] = {row.field};
        if (row.byDefault != nullptr) {
            response.defaultFields = std::make_shared<const Defaults>(Defaults{{"server", row.byDefault}});
        }
        if (row.scriptLine != nullptr) response.fields[kCgiLinesField] = {row.scriptLine};
        const std::string head = KoAnswerHead(response, 0, false, kDate);
        const std::string status = "HTTP/1.1 200 OK\r\n";
        ASSERT_EQ(head.rfind(status, 0), 0u) << row.name;
        EXPECT_EQ(head.substr(status.size(), head.find("Date: ") - status.size()), row.expected) << row.name;
        const bool scriptLineWritten = head.find("\r\nServer: script\r\n") != std::string::npos;
        EXPECT_EQ(scriptLineWritten, row.scriptLine != nullptr) << row.name;
    }
}

TEST(KoPlainAnswer, RefusalsAreDatedText) {
    EXPECT_EQ(KoPlainAnswer(405, true, kDate),
              "HTTP/1.1 405 Method Not Allowed\r\nServer: tessmar/1.28.1(96)\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
              "Content-Length: 23\r\nContent-Type: text/plain; charset=utf-8\r\nConnection: close\r\n\r\n"
              "405 Method Not Allowed\n");
}

}  // namespace
