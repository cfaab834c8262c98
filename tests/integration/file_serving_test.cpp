// End to end over loopback, as browsers and HTTP clients use a file server:
// the Date field, validators and 304, ranges (one, several, unsatisfiable,
// with If-Range and HEAD), the Host rules of HTTP/1.1, absolute targets,
// and the methods static files and scripts take.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/http/http_date.h"
#include "site_fixture.h"

namespace {

using namespace site_fixture;

// 300 KiB of bytes that differ from their neighbours.
std::string Numbered() {
    std::string bytes;
    for (int i = 0; bytes.size() < 300 * 1024; ++i) bytes += std::to_string(i) + ",";
    return bytes;
}

class FileServing : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        platform::createDirectory(root + "docs");
        WriteFile(root + "style.css", "body{color:red}");
        WriteFile(root + "docs/index.html", "<p>docs</p>");
        WriteFile(root + "data.bin", content);
        WriteFile(root + "cgi-bin/method.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$REQUEST_METHOD\"\n", true);
        WriteFile(root + "cgi-bin/unchanged.sh", PrintingScript("Status: 304\r\nETag: \"s\"\r\n\r\nleftover"), true);
    }

    const std::string content = Numbered();
};

TEST_F(FileServing, CurlHeadShowsDateAndValidators) {
    Start();
    const auto before = KoSecondsNow();
    const CommandResult head = Curl({"-sI", base + "/style.css"});
    ASSERT_EQ(head.exitCode, 0);
    const std::string answer = head.output;
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 200 OK");
    const auto date = KoParseHttpDate(FieldOf(answer, "Date"));
    ASSERT_TRUE(date) << answer;
    EXPECT_GE(*date, before);
    EXPECT_LE(*date, KoSecondsNow());
    EXPECT_TRUE(KoParseHttpDate(FieldOf(answer, "Last-Modified"))) << answer;
    EXPECT_EQ(FieldOf(answer, "ETag").front(), '"') << answer;
    EXPECT_EQ(FieldOf(answer, "Accept-Ranges"), "bytes");
    EXPECT_EQ(FieldOf(answer, "Content-Length"), "15");
    EXPECT_EQ(FieldOf(answer, "Content-Type"), "text/css");
    EXPECT_EQ(FieldOf(answer, "Cache-Control"), "<none>");
    // Every answer is dated: a missing page, a script, a refusal.
    EXPECT_NE(FieldOf(Get("/none.html"), "Date"), "<none>");
    EXPECT_NE(FieldOf(Get("/cgi-bin/method.sh"), "Date"), "<none>");
    EXPECT_NE(FieldOf(Exchange("GET / HTTP/9.9\r\n\r\n"), "Date"), "<none>");
}

TEST_F(FileServing, CacheControlWhenTheSettingAsks) {
    Start([](KoApplicationSettings& s) { s.http.cacheControl = "max-age=60"; });
    EXPECT_EQ(FieldOf(Get("/style.css"), "Cache-Control"), "max-age=60");
    // The server's own pages are not the settings' business.
    EXPECT_EQ(FieldOf(Get("/none.html"), "Cache-Control"), "<none>");
}

// A conditional request on a kept connection: a 304 must end with its head,
// or the next answer is read as its body.
TEST_F(FileServing, NotModifiedHasNoBodyAndTheNextAnswerFollowsIt) {
    Start();
    const std::string first = Get("/style.css");
    const std::string tag = FieldOf(first, "ETag");
    const std::string modified = FieldOf(first, "Last-Modified");
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /style.css HTTP/1.1\r\nHost: localhost\r\nIf-None-Match: \"other\", " + tag + "\r\n\r\n"
                "GET /style.css HTTP/1.1\r\nHost: localhost\r\nIf-Modified-Since: " + modified + "\r\n\r\n"
                "GET /style.css HTTP/1.1\r\nHost: localhost\r\nIf-None-Match: \"other\"\r\nIf-Modified-Since: " + modified +
                "\r\n\r\n");
    for (int i = 0; i < 2; ++i) {
        const std::string answer = client.takeAnswer(milliseconds(5000));
        EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 304 Not Modified") << answer;
        EXPECT_EQ(FieldOf(answer, "ETag"), tag);
        EXPECT_EQ(FieldOf(answer, "Last-Modified"), modified);
        EXPECT_NE(FieldOf(answer, "Date"), "<none>");
        EXPECT_EQ(FieldOf(answer, "Content-Length"), "<none>");
        EXPECT_EQ(BodyOf(answer), "");
    }
    // If-None-Match decides when both are sent.
    const std::string full = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(StatusLineOf(full), "HTTP/1.1 200 OK") << full;
    EXPECT_EQ(BodyOf(full), "body{color:red}");
    EXPECT_EQ(client.received(), "");
}

// A script's 304 went out with its body and a Content-Length: the client
// reads no body after a 304 and took those bytes for the next answer.
TEST_F(FileServing, ScriptsNotModifiedEndsWithItsHead) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /cgi-bin/unchanged.sh HTTP/1.1\r\nHost: localhost\r\n\r\nGET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string first = client.takeAnswer(milliseconds(8000));
    EXPECT_EQ(StatusLineOf(first), "HTTP/1.1 304 Not Modified") << first;
    EXPECT_EQ(FieldOf(first, "ETag"), "\"s\"");
    EXPECT_EQ(FieldOf(first, "Content-Length"), "<none>");
    const std::string second = client.takeAnswer(milliseconds(8000));
    EXPECT_EQ(StatusLineOf(second), "HTTP/1.1 200 OK") << second;
    EXPECT_EQ(BodyOf(second), "body{color:red}");
    EXPECT_EQ(client.received().find("leftover"), std::string::npos);
}

TEST_F(FileServing, FailedPreconditionsAre412) {
    Start();
    const std::string tag = FieldOf(Get("/style.css"), "ETag");
    EXPECT_EQ(StatusLineOf(Get("/style.css", "If-Match: \"other\"\r\n")), "HTTP/1.1 412 Precondition Failed");
    EXPECT_EQ(StatusLineOf(Get("/style.css", "If-Match: " + tag + "\r\n")), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusLineOf(Get("/style.css", "If-Unmodified-Since: Thu, 01 Jan 1970 00:00:00 GMT\r\n")),
              "HTTP/1.1 412 Precondition Failed");
}

TEST_F(FileServing, OneRangeFromTheFile) {
    Start();
    const std::string answer = Get("/data.bin", "Range: bytes=100000-250000\r\n");
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(FieldOf(answer, "Content-Range"),
              "bytes 100000-250000/" + std::to_string(content.size()));
    EXPECT_EQ(FieldOf(answer, "Content-Length"), "150001");
    EXPECT_TRUE(BodyOf(answer) == content.substr(100000, 150001)) << BodyOf(answer).size();

    const std::string tail = Get("/data.bin", "Range: bytes=-10\r\n");
    EXPECT_EQ(BodyOf(tail), content.substr(content.size() - 10));
    // HEAD: the head a GET would get, nothing after it.
    const std::string head = Exchange("HEAD /data.bin HTTP/1.1\r\nHost: localhost\r\nRange: bytes=0-99\r\n"
                                      "Connection: close\r\n\r\n");
    EXPECT_EQ(StatusLineOf(head), "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(FieldOf(head, "Content-Length"), "100");
    EXPECT_EQ(BodyOf(head), "");
}

TEST_F(FileServing, SeveralRangesAreOneMultipartBody) {
    Start();
    const std::string answer = Get("/data.bin", "Range: bytes=200000-200009, 0-4\r\n");
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 206 Partial Content");
    const std::string type = FieldOf(answer, "Content-Type");
    const std::string prefix = "multipart/byteranges; boundary=";
    ASSERT_EQ(type.rfind(prefix, 0), 0u) << answer;
    const std::string boundary = type.substr(prefix.size());
    const std::string size = std::to_string(content.size());
    const std::string expected = "--" + boundary + "\r\nContent-Type: application/octet-stream\r\n" +
                                 "Content-Range: bytes 0-4/" + size + "\r\n\r\n" + content.substr(0, 5) + "\r\n--" +
                                 boundary + "\r\nContent-Type: application/octet-stream\r\n" +
                                 "Content-Range: bytes 200000-200009/" + size + "\r\n\r\n" +
                                 content.substr(200000, 10) + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(BodyOf(answer), expected);
    EXPECT_EQ(FieldOf(answer, "Content-Length"), std::to_string(expected.size()));
}

TEST_F(FileServing, UnsatisfiableRangeAndIfRange) {
    Start();
    const std::string size = std::to_string(content.size());
    const std::string beyond = Get("/data.bin", "Range: bytes=" + size + "-\r\n");
    EXPECT_EQ(StatusLineOf(beyond), "HTTP/1.1 416 Range Not Satisfiable");
    EXPECT_EQ(FieldOf(beyond, "Content-Range"), "bytes */" + size);

    const std::string tag = FieldOf(Get("/data.bin"), "ETag");
    EXPECT_EQ(StatusLineOf(Get("/data.bin", "Range: bytes=0-0\r\nIf-Range: " + tag + "\r\n")),
              "HTTP/1.1 206 Partial Content");
    const std::string changed = Get("/data.bin", "Range: bytes=0-0\r\nIf-Range: \"older\"\r\n");
    EXPECT_EQ(StatusLineOf(changed), "HTTP/1.1 200 OK");
    EXPECT_TRUE(BodyOf(changed) == content);
}

// HTTP/1.1 requests without Host, or with two, were answered 200.
TEST_F(FileServing, HostRulesOfHttp11) {
    Start();
    for (const std::string& fields : {std::string(), std::string("Host: localhost\r\nHost: localhost\r\n"),
                                      std::string("Host: a b\r\n")}) {
        RawHttpClient client(port);
        ASSERT_TRUE(client.connected());
        client.send("GET /style.css HTTP/1.1\r\n" + fields + "\r\nGET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_TRUE(client.readUntilClosed(milliseconds(5000))) << fields;
        EXPECT_EQ(StatusLineOf(client.received()), "HTTP/1.1 400 Bad Request") << fields;
        EXPECT_NE(client.received().find("Connection: close\r\n"), std::string::npos) << fields;
        EXPECT_EQ(client.received().find("color:red"), std::string::npos) << fields;
    }
    // HTTP/1.0 needs none.
    EXPECT_EQ(BodyOf(Exchange("GET /style.css HTTP/1.0\r\n\r\n")), "body{color:red}");
}

// "GET http://host:port/index.html" was looked up as the path
// "http://host:port/index.html" and answered 404.
TEST_F(FileServing, AbsoluteTargetIsServedByItsPath) {
    Start();
    const std::string authority = "127.0.0.1:" + std::to_string(port);
    const std::string answer = Exchange("GET http://" + authority + "/docs/ HTTP/1.1\r\nHost: elsewhere\r\n"
                                        "Connection: close\r\n\r\n");
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 200 OK") << answer;
    EXPECT_EQ(BodyOf(answer), "<p>docs</p>");
    // curl sends that form to a proxy; here the server is the proxy.
    const CommandResult proxied = Curl({"-x", base, "http://localhost/style.css"});
    EXPECT_EQ(proxied.output, "body{color:red}");
    EXPECT_EQ(StatusLineOf(Exchange("GET ftp://h/style.css HTTP/1.1\r\nHost: h\r\n\r\n")),
              "HTTP/1.1 400 Bad Request");
}

// A POST to a static file got the file.
TEST_F(FileServing, MethodsOnFilesAndScripts) {
    Start();
    const struct {
        std::string request;
        std::string status;
        std::string allow;
        std::string body;  // "*": not checked
    } table[] = {
        {"POST /style.css", "HTTP/1.1 405 Method Not Allowed", "GET, HEAD, OPTIONS", "405 Method Not Allowed\n"},
        {"PUT /style.css", "HTTP/1.1 405 Method Not Allowed", "GET, HEAD, OPTIONS", "*"},
        {"DELETE /docs/", "HTTP/1.1 405 Method Not Allowed", "GET, HEAD, OPTIONS", "*"},
        {"OPTIONS /style.css", "HTTP/1.1 204 No Content", "GET, HEAD, OPTIONS", ""},
        {"OPTIONS /docs/", "HTTP/1.1 204 No Content", "GET, HEAD, OPTIONS", ""},
        {"OPTIONS *", "HTTP/1.1 204 No Content", "GET, HEAD, POST, OPTIONS", ""},
        {"OPTIONS /cgi-bin/method.sh", "HTTP/1.1 204 No Content", "GET, HEAD, POST, OPTIONS", ""},
        {"PUT /cgi-bin/method.sh", "HTTP/1.1 405 Method Not Allowed", "GET, HEAD, POST, OPTIONS", "*"},
        {"POST /cgi-bin/method.sh", "HTTP/1.1 200 OK", "<none>", "POST"},
        {"GET /cgi-bin/method.sh", "HTTP/1.1 200 OK", "<none>", "GET"},
        {"PUT /none.html", "HTTP/1.1 404 Not Found", "<none>", "*"},
    };
    for (const auto& row : table) {
        const std::string answer =
            Exchange(row.request + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(StatusLineOf(answer), row.status) << row.request;
        EXPECT_EQ(FieldOf(answer, "Allow"), row.allow) << row.request;
        if (row.body != "*") {
            EXPECT_EQ(BodyOf(answer), row.body) << row.request;
        }
        if (row.status == "HTTP/1.1 204 No Content") {
            EXPECT_EQ(FieldOf(answer, "Content-Length"), "<none>") << row.request;
        }
    }
}

}  // namespace
