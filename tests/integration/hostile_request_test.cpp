// End to end over loopback, as a hostile or careless client would try it:
// other spellings of a CGI path, redirects that could leave the site,
// malformed request lines and header lines, files that exist but cannot be
// opened, HTTP/1.0 persistence, forms, and a command handler that fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "message/response_header.h"
#include "platform/process_limits.h"
#include "server/routing/router_services.h"
#include "site_fixture.h"

namespace {

using namespace site_fixture;

constexpr const char* kSourceMarker = "SOURCE-OF-THE-SCRIPT";

class HostileRequest : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        platform::createDirectory(root + "sub");
        platform::createDirectory(root + "sub dir");
        WriteFile(root + "index.html", "<html>home</html>");
        WriteFile(root + "sub/index.html", "<p>sub</p>");
        WriteFile(root + "cgi-bin/hello.sh",
                  "#!/bin/sh\n# " + std::string(kSourceMarker) +
                      "\nprintf 'Content-Type: text/plain\\r\\n\\r\\nhello from cgi\\n'\n",
                  true);
    }
};

// "//cgi-bin/hello.sh" and other spellings of the CGI path were served as
// static files: the script's source went to the client.
TEST_F(HostileRequest, CgiScriptSourceIsNeverSentWhateverTheSpelling) {
    std::filesystem::create_directory_symlink(root + "cgi-bin", root + "alias");
    Start();
    for (const char* path : {"//cgi-bin/hello.sh", "///cgi-bin/hello.sh", "/%2fcgi-bin/hello.sh",
                             "/%2Fcgi-bin/hello.sh", "/cgi-bin//hello.sh", "//cgi-bin//hello.sh",
                             "/cgi-bin%2fhello.sh", "/./cgi-bin/hello.sh", "/%2e/cgi-bin/hello.sh",
                             "/sub/../cgi-bin/hello.sh", "/alias/hello.sh", "//alias//hello.sh"}) {
        const std::string answer = Get(path);
        EXPECT_EQ(answer.find(kSourceMarker), std::string::npos) << path << ":\n" << answer;
        EXPECT_FALSE(StatusLineOf(answer).empty()) << path;
    }
    // Spellings of the same path run the script.
    for (const char* path : {"/cgi-bin/hello.sh", "//cgi-bin/hello.sh", "/%2fcgi-bin/hello.sh", "/cgi-bin%2fhello.sh"}) {
        EXPECT_EQ(BodyOf(Get(path)), "hello from cgi\n") << path;
    }
    // Through curl, as the fault was seen.
    const auto curl = Curl({"--path-as-is", base + "//cgi-bin/hello.sh"});
    EXPECT_EQ(curl.output, "hello from cgi\n");
}

// A directory named "//sub" was redirected to "Location: //sub/", which a
// browser reads as a link to the host "sub".
TEST_F(HostileRequest, RedirectsStayOnTheSite) {
    Start();
    const struct {
        const char* path;
        const char* location;
    } rows[] = {
        {"/sub", "/sub/"},
        {"//sub", "/sub/"},
        {"///sub", "/sub/"},
        {"/%2fsub", "/sub/"},
        {"/%2F%2Fsub", "/sub/"},
        {"/sub%20dir", "/sub%20dir/"},
    };
    for (const auto& row : rows) {
        const std::string answer = Get(row.path);
        EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 301 Moved Permanently") << row.path;
        EXPECT_NE(HeadOf(answer).find(std::string("\r\nLocation: ") + row.location + "\r\n"), std::string::npos)
            << row.path << ":\n" << answer;
    }
    const auto followed = Curl({"--path-as-is", "-L", base + "//sub"});
    EXPECT_EQ(followed.output, "<p>sub</p>");
}

// "GET /index.html" without a version, followed by a full request, made the
// second request a header line of the first: three requests sent, two
// answered.
TEST_F(HostileRequest, RequestLineWithoutVersionIsRefusedAndCloses) {
    Start();
    const std::string answer = Exchange(
        "GET /index.html\r\n"
        "GET /sub/ HTTP/1.1\r\nHost: localhost\r\n\r\n"
        "GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 400 Bad Request") << answer;
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << "only one answer:\n" << answer;
    EXPECT_EQ(answer.find("<p>sub</p>"), std::string::npos);
}

// Request lines the server cannot serve: HTTP/2.0 and HTTP/1.2 were taken as
// HTTP/1.1, and an unknown method was answered 500.
TEST_F(HostileRequest, RequestLinesAnsweredWithTheirStatus) {
    Start();
    const struct {
        std::string line;
        const char* status;
    } rows[] = {
        {"GET /index.html HTTP/2.0", "HTTP/1.1 505 HTTP Version Not Supported"},
        {"GET /index.html HTTP/1.2", "HTTP/1.1 505 HTTP Version Not Supported"},
        {"BREW /index.html HTTP/1.1", "HTTP/1.1 501 Not Implemented"},
        {"CONNECT localhost:443 HTTP/1.1", "HTTP/1.1 501 Not Implemented"},
        {"GET /index.html HTTP/1.1 extra", "HTTP/1.1 400 Bad Request"},
        {"GET /index.html FTP/1.1", "HTTP/1.1 400 Bad Request"},
        {"GET", "HTTP/1.1 400 Bad Request"},
    };
    for (const auto& row : rows) {
        const std::string answer = Exchange(row.line + "\r\nHost: localhost\r\n\r\nGET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(StatusLineOf(answer), row.status) << row.line;
        EXPECT_NE(HeadOf(answer).find("Connection: close\r\n"), std::string::npos) << row.line;
        EXPECT_EQ(answer.find("<html>home</html>"), std::string::npos) << row.line;
    }
    EXPECT_EQ(BodyOf(Exchange("get /index.html http/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")),
              "<html>home</html>");
}

// An HTTP/1.0 client that asked for keep-alive had its connection kept but
// was never told so, and waited for the end of the stream.
TEST_F(HostileRequest, Http10KeepAliveIsAnnounced) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /index.html HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    const std::string kept = client.takeAnswer(milliseconds(5000));
    EXPECT_NE(HeadOf(kept).find("\r\nConnection: keep-alive\r\n"), std::string::npos) << kept;
    client.send("GET /sub/ HTTP/1.0\r\n\r\n");
    const std::string closing = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(closing), "<p>sub</p>");
    EXPECT_NE(HeadOf(closing).find("\r\nConnection: close\r\n"), std::string::npos) << closing;
    EXPECT_TRUE(client.readUntilClosed(milliseconds(3000)));
    // HTTP/1.1 keeps its form: nothing said while the connection stays.
    const std::string plain = Exchange("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n", milliseconds(300));
    EXPECT_EQ(HeadOf(plain).find("Connection:"), std::string::npos) << plain;
}

class FailingCommand : public KoApplicationHandler {
public:
    std::string handlerName() const override { return "failing"; }
    void message(KoXHeader&, KoXResponseHeader& response, const std::string&) override {
        response.statusCode = 500;
        const std::string text = "it broke";
        response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }
};

// A command handler that set status 500 got nothing sent: the client waited
// for the idle time-out.
TEST_F(HostileRequest, FailedCommandIsAnswered500) {
    Start();
    auto* server = static_cast<ServerHandle*>(handle);
    ASSERT_NE(server->application->registerHandler(std::make_unique<FailingCommand>()), nullptr);
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /?velkoid=failing&velkocommand=x HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(3000));
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 500 Internal Error") << answer;
    EXPECT_EQ(BodyOf(answer), "it broke");
    // The connection goes on.
    client.send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(BodyOf(client.takeAnswer(milliseconds(3000))), "<html>home</html>");
}

// Lines that other parsers read otherwise were repaired or skipped: a name
// with "=" and "/" passed the Host check as HTTP_HOST, ":Content-Length"
// framed a body that swallowed the next request, "/a%2/b.txt" served the
// file "a\x02b.txt".
TEST_F(HostileRequest, AmbiguousRequestsAreRefusedAndClose) {
    WriteFile(root + "a\x02" "b.txt", "SECRET-BY-ESCAPE");
    Start();
    const std::string next = "GET /sub/ HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const struct {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"name that is no token", "GET /cgi-bin/hello.sh HTTP/1.1\r\nHost: localhost\r\nHost=evil.example/: x\r\n\r\n"},
        {"leading colon", "POST /index.html HTTP/1.1\r\nHost: localhost\r\n:Content-Length: " +
                              std::to_string(next.size()) + "\r\n\r\n"},
        {"chunk size and a blank", "POST /cgi-bin/hello.sh HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
                                   "3 \r\nabc\r\n0\r\n\r\n"},
        {"escape of one digit", "GET /a%2/b.txt HTTP/1.1\r\nHost: localhost\r\n\r\n"},
    };
    for (const auto& row : rows) {
        const std::string answer = Exchange(row.bytes + next);
        EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 400 Bad Request") << row.name << ":\n" << answer;
        EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << row.name << ": only one answer:\n" << answer;
        EXPECT_EQ(answer.find("hello from cgi"), std::string::npos) << row.name;
        EXPECT_EQ(answer.find("SECRET-BY-ESCAPE"), std::string::npos) << row.name;
    }
}

// "Connection: x-closed-thing" closed the connection: the field was
// searched for "close" instead of read as a list of tokens.
TEST_F(HostileRequest, ConnectionFieldIsAListOfTokens) {
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    client.send("GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: x-closed-thing\r\n\r\n");
    const std::string kept = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(kept), "<html>home</html>");
    EXPECT_EQ(HeadOf(kept).find("Connection: close"), std::string::npos) << kept;
    client.send("GET /sub/ HTTP/1.1\r\nHost: localhost\r\nConnection: te, Close\r\n\r\n");
    const std::string closing = client.takeAnswer(milliseconds(5000));
    EXPECT_EQ(BodyOf(closing), "<p>sub</p>");
    EXPECT_TRUE(client.readUntilClosed(milliseconds(3000)));
}

class EchoCommand : public KoApplicationHandler {
public:
    std::string handlerName() const override { return "echo"; }
    void message(KoXHeader& request, KoXResponseHeader& response, const std::string&) override {
        KoHTTPMessageBlock* field = request.Field("say");
        const std::string text = field == nullptr ? std::string("<none>") : field->Text();
        response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    }
};

// Every body was parsed as a form before routing: 1 MiB of "=&" to a static
// file cost about 300 MiB before its 405, and a form had no bound.
TEST_F(HostileRequest, FormsAreReadOnlyForCommandsAndWithinABound) {
    Start();
    const auto post = [](const std::string& target, const std::string& body) {
        return "POST " + target + " HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    };
    std::string pairs;
    for (int i = 0; i < (1 << 19); ++i) pairs += "=&";
    EXPECT_EQ(StatusLineOf(Exchange(post("/index.html", pairs))), "HTTP/1.1 405 Method Not Allowed");

    auto* server = static_cast<ServerHandle*>(handle);
    ASSERT_NE(server->application->registerHandler(std::make_unique<EchoCommand>()), nullptr);
    EXPECT_EQ(BodyOf(Exchange(post("/", "velkoid=echo&say=hi+there"))), "hi there");
    std::string many = "velkoid=echo";
    for (int i = 0; i < 1000; ++i) many += "&f=" + std::to_string(i);
    const std::string refused = Exchange(post("/", many));
    EXPECT_EQ(StatusLineOf(refused), "HTTP/1.1 413 Content Too Large") << refused;
    EXPECT_EQ(StatusLineOf(Exchange(post("/", "velkoid=echo&say=%+2"))), "HTTP/1.1 400 Bad Request");
}

// Out of descriptors, existing files were answered 404, a failure reported
// as a client error.
TEST_F(HostileRequest, FileThatCannotBeOpenedForWantOfDescriptorsIs503) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the undefined-behaviour sanitizer's type checks open descriptors of their own";
#endif
    Start();
    RawHttpClient client(port);
    ASSERT_TRUE(client.connected());
    // Another file first: one answered before is kept open and needs no
    // descriptor.
    client.send("GET /sub/index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_EQ(BodyOf(client.takeAnswer(milliseconds(3000))), "<p>sub</p>");

    const std::size_t limit = platform::descriptorLimit();
    testing::internal::CaptureStderr();
    // No descriptor above the standard three can be opened now.
    ASSERT_TRUE(platform::setDescriptorLimit(3));
    client.send("GET /index.html HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string answer = client.takeAnswer(milliseconds(3000));
    platform::setDescriptorLimit(limit);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 503 Service Unavailable") << answer;
    EXPECT_NE(errors.find("index.html"), std::string::npos) << errors;
}

// A name the file system cannot resolve is a fault of the site, not of the
// client; it was answered 404.
TEST_F(HostileRequest, FileThatCannotBeExaminedIs500) {
    std::filesystem::create_symlink(root + "loop", root + "loop");
    Start();
    testing::internal::CaptureStderr();
    const std::string loop = Get("/loop");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(StatusLineOf(loop), "HTTP/1.1 500 Internal Error");
    EXPECT_NE(errors.find("loop"), std::string::npos) << errors;
    EXPECT_EQ(StatusLineOf(Get("/missing.html")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(StatusLineOf(Get("/index.html/below")), "HTTP/1.1 404 Not Found");
}

}  // namespace
