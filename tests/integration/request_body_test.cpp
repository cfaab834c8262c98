// End to end over loopback: what becomes of request bodies. A script gets a
// large body whole, from a temporary file that is gone once it has been
// answered; "Expect: 100-continue" is answered "100 Continue" only when the
// request will be served with its body; a body nobody reads is read past.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "site_fixture.h"

namespace {

using namespace site_fixture;
using std::chrono::milliseconds;

// Scratch files of the server go to a directory of the test's own, so that
// what is left in it can be seen.
class RequestBodies : public SiteServer {
protected:
    void SetUp() override {
        SiteServer::SetUp();
        const char* before = std::getenv("TMPDIR");
        savedTmp = before == nullptr ? std::string() : before;
        hadTmp = before != nullptr;
        scratch = top + "scratch";
        platform::createDirectory(scratch);
        ::setenv("TMPDIR", scratch.c_str(), 1);
    }
    void TearDown() override {
        SiteServer::TearDown();
        if (hadTmp) {
            ::setenv("TMPDIR", savedTmp.c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

    // Waits (bounded) until no body file is left in the scratch directory.
    bool ScratchEmpties() {
        for (int i = 0; i < 250; ++i) {
            if (std::filesystem::is_empty(scratch)) return true;
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }

    std::string scratch;
    std::string savedTmp;
    bool hadTmp = false;
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) % 251);
    return bytes;
}

struct ScriptCase {
    const char* name;
    const char* target;
    bool chunked;
};

class LargeBodies : public RequestBodies, public ::testing::WithParamInterface<ScriptCase> {};

// What went wrong: a script's body was held whole in the server's memory
// (up to 64 MiB per request, twice that for chunks) and piped to the child.
// Past the memory bound it now lies in a temporary file, which a CGI
// program reads as its standard input and the PHP pool sends in pieces; the
// file is removed once the request is answered.
TEST_P(LargeBodies, ReachTheScriptWholeFromAFileThatIsThenRemoved) {
    const ScriptCase& c = GetParam();
    WriteFile(root + "cgi-bin/digest.sh",
              "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
              "if [ -f /dev/stdin ]; then kind=file; else kind=pipe; fi\n"
              "echo \"$kind $(md5sum | cut -d' ' -f1)\"\n",
              true);
    WriteFile(root + "digest.php", "<?php echo 'php ', md5(file_get_contents('php://input')), \"\\n\";");
    const std::string bodyPath = top + "body.bin";
    WriteFile(bodyPath, Pattern(5 << 20));
    const CommandResult sum = RunProgram("md5sum", {bodyPath});
    ASSERT_EQ(sum.exitCode, 0);
    const std::string digest = sum.output.substr(0, sum.output.find(' '));
    Start();

    std::vector<std::string> arguments = {"--data-binary", "@" + bodyPath, "-H", "Content-Type: application/octet-stream"};
    if (c.chunked) arguments.insert(arguments.end(), {"-H", "Transfer-Encoding: chunked"});
    arguments.push_back(base + c.target);
    const CommandResult answer = Curl(arguments);
    ASSERT_EQ(answer.exitCode, 0) << answer.output;
    const std::string kind = std::string(c.target).find(".php") != std::string::npos ? "php" : "file";
    EXPECT_EQ(answer.output, kind + " " + digest + "\n");
    EXPECT_TRUE(ScratchEmpties());
}

INSTANTIATE_TEST_SUITE_P(Scripts, LargeBodies,
                         ::testing::Values(ScriptCase{"cgi_length", "/cgi-bin/digest.sh", false},
                                           ScriptCase{"cgi_chunked", "/cgi-bin/digest.sh", true},
                                           ScriptCase{"php_length", "/digest.php", false},
                                           ScriptCase{"php_chunked", "/digest.php", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ContinueCase {
    const char* target;
    bool continues;
    const char* status;
    const char* host = "localhost";
};

// What went wrong: "100 Continue" went out at the header's end before any
// check, so a client uploading to a missing path or a static file was told
// to send its body, only to be refused after it had. Now only a request the
// router will serve with its body is told to go on; a refused one gets its
// final answer at once, and the connection closes.
TEST_F(RequestBodies, OnlyAcceptedRequestsAreToldToContinue) {
    WriteFile(root + "cgi-bin/size.sh", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\nwc -c | tr -d ' '\n",
              true);
    WriteFile(root + "page.txt", "a page");
    Start();
    const ContinueCase cases[] = {
        {"/missing.bin", false, "HTTP/1.1 404 Not Found"},
        {"/page.txt", false, "HTTP/1.1 405 Method Not Allowed"},
        {"/cgi-bin/size.sh", true, "HTTP/1.1 200 OK"},
        // A name another site pointed at this machine is refused before the body too.
        {"/cgi-bin/size.sh", false, "HTTP/1.1 421 Misdirected Request", "evil.example"},
    };
    const std::string body = "0123456789";
    for (const ContinueCase& c : cases) {
        SCOPED_TRACE(c.target);
        RawHttpClient client(port);
        ASSERT_TRUE(client.connected());
        client.send(std::string("POST ") + c.target + " HTTP/1.1\r\nHost: " + c.host +
                    "\r\nContent-Length: 10\r\nExpect: 100-continue\r\nConnection: close\r\n\r\n");
        client.readUntilContains("\r\n\r\n", milliseconds(5000));
        const std::string first = StatusLineOf(client.received());
        if (c.continues) {
            EXPECT_EQ(first, "HTTP/1.1 100 Continue");
            client.send(body);
            client.readUntilClosed(milliseconds(5000));
            const std::string all = client.received();
            const std::string final = all.substr(all.find("\r\n\r\n") + 4);
            EXPECT_EQ(StatusLineOf(final), c.status);
            EXPECT_EQ(BodyOf(final), "10\n");
        } else {
            EXPECT_EQ(first, c.status);
            // Answered without waiting for the body, and closed.
            EXPECT_TRUE(client.readUntilClosed(milliseconds(5000)));
            EXPECT_EQ(client.received().find("100 Continue"), std::string::npos);
        }
    }
}

// A body nobody reads (a static file's 405, a GET with a body) is read past
// as it comes, and the connection goes on with the next request.
TEST_F(RequestBodies, UnreadBodiesAreReadPastOnAKeptConnection) {
    WriteFile(root + "page.txt", "a page");
    Start();
    const std::string big(3 << 20, 'b');
    const std::string answer = Exchange("POST /page.txt HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                                        std::to_string(big.size()) + "\r\n\r\n" + big +
                                        "GET /page.txt HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n"
                                        "5\r\nhello\r\n0\r\n\r\n"
                                        "GET /page.txt HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusLineOf(answer), "HTTP/1.1 405 Method Not Allowed");
    std::size_t served = 0;
    for (std::size_t at = answer.find("HTTP/1.1 200 OK"); at != std::string::npos;
         at = answer.find("HTTP/1.1 200 OK", at + 1)) {
        ++served;
    }
    EXPECT_EQ(served, 2u) << answer.substr(0, 400);
    EXPECT_TRUE(ScratchEmpties());
}

}  // namespace
