// End to end over loopback with curl --compressed: a CGI program's and a
// PHP script's output (whole and streamed) and host answers are compressed over HTTP; over
// HTTPS only host answers marked safe and files are, never CGI output by
// default (BREACH); the bytes decode to what was made, and every answer
// that could be compressed says "Vary: Accept-Encoding".
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

std::string Page() {
    std::string text = "<!doctype html><title>page</title>\n";
    for (int i = 0; i < 1000; ++i) text += "<p>paragraph " + std::to_string(i) + " of a page that compresses</p>\n";
    return text;
}

// What curl -D - wrote: the head (the last one) and the decoded body.
struct Fetched {
    std::string head;
    std::string body;
    // Names as HTTP/1.1 writes them; HTTP/2's are in lower case.
    std::string field(std::string name) const {
        std::string key = "\r\n" + name + ": ";
        std::size_t at = head.find(key);
        if (at == std::string::npos) {
            for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            at = head.find(key);
        }
        if (at == std::string::npos) return "<none>";
        const std::size_t start = at + key.size();
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

class CompressedAnswers : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        host_shell::WriteFile(dir.file("htmlroot/page.txt"), page);
        host_shell::WriteFile(dir.file("htmlroot/big.js"), "var page = 1;\n" + page);
        // A quick script writes its head and body in one go (one process):
        // on a loaded machine a second process could start after the pause
        // that has the answer streamed.
        host_shell::WriteFile(dir.file("htmlroot/page.head"), "Content-Type: text/html\r\n\r\n");
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/page.sh"), "#!/bin/sh\nexec cat ../page.head ../page.txt\n");
        // A pause after the first half: the answer is streamed, chunked.
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/slow.sh"),
                              "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\nhead -c 3000 ../page.txt\n"
                              "sleep 1\ntail -c +3001 ../page.txt\n");
        host_shell::WriteFile(dir.file("htmlroot/zipped.head"), "Content-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n");
        // Not page.txt.gz: that would be page.txt's precompressed sibling.
        ASSERT_EQ(Directory::Run("gzip -c " + Quoted(dir.file("htmlroot/page.txt")) + " > " +
                                 Quoted(dir.file("htmlroot/page.txt.gz.bin"))),
                  0);
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/zipped.sh"),
                              "#!/bin/sh\nexec cat ../zipped.head ../page.txt.gz.bin\n");
        host_shell::WriteFile(dir.file("htmlroot/page.php"), "<?php readfile(__DIR__ . '/page.txt');");
        ASSERT_EQ(Directory::Run("chmod +x " + Quoted(dir.file("htmlroot/cgi-bin")) + "/*.sh"), 0);
    }

    std::unique_ptr<velko::Server> Start(bool https, bool compression = true, bool scriptsOverTls = false) {
        velko::ServerOptions options;
        options.https = https;
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
        options.compression = compression;
        options.compressScriptsOverTls = scriptsOverTls;
        auto server = std::make_unique<velko::Server>(options);
        const std::string text = page;
        const std::string file = dir.file("htmlroot/big.js");
        server->on("GET", "/page", [text](const velko::Request&) { return velko::Answer::html(text); });
        server->on("GET", "/safe", [text](const velko::Request&) {
            velko::Answer answer = velko::Answer::html(text);
            answer.compress = true;
            return answer;
        });
        server->on("GET", "/small", [](const velko::Request&) { return velko::Answer::html("<p>short</p>"); });
        server->on("GET", "/file", [file](const velko::Request&) { return velko::Answer::sendFile(file); });
        return server;
    }

    // head: a HEAD request (curl -I); http2: over HTTP/2 (https only).
    Fetched Fetch(const velko::Server& server, bool https, const std::string& path, bool head = false,
                  bool http2 = false) {
        const std::string url = std::string(https ? "https" : "http") + "://localhost:" +
                                std::to_string(server.port()) + path;
        const host_shell::Result got = Directory::Capture(std::string("curl -sS ") + (http2 ? "--http2" : "--http1.1") +
                                                          " --max-time 30 --compressed -D - " +
                                                          std::string(head ? "-I " : "") + "--cacert " +
                                                          Quoted(dir.file("cacert.pem")) + " " + Quoted(url));
        Fetched fetched;
        const std::size_t end = got.output.find("\r\n\r\n");
        if (got.status != 0 || end == std::string::npos) {
            ADD_FAILURE() << "curl " << url << ": " << got.output;
            return fetched;
        }
        fetched.head = got.output.substr(0, end + 2);
        fetched.body = got.output.substr(end + 4);
        return fetched;
    }

    Directory dir;
    const std::string page = Page();
};

}  // namespace

TEST_F(CompressedAnswers, ScriptsAndHostAnswersOverHttpAndTheTlsDefault) {
    auto plain = Start(false);
    auto tls = Start(true);
    auto tlsScripts = Start(true, true, true);
    struct Case {
        bool https;
        const char* path;
        const char* coding;  // Content-Encoding, "<none>" for none
        const char* vary;
        bool chunked;  // streamed: chunked over HTTP/1.1
        bool head = false;  // HEAD: the head of its GET, no body
        bool http2 = false;  // over HTTP/2, to the server that compresses scripts over TLS
    };
    const Case cases[] = {
        {false, "/cgi-bin/page.sh", "br", "Accept-Encoding", false},
        {false, "/cgi-bin/slow.sh", "br", "Accept-Encoding", true},
        {false, "/page.php", "br", "Accept-Encoding", false},
        {false, "/page", "br", "Accept-Encoding", false},
        // A HEAD announced the identity length and no coding.
        {false, "/page", "br", "Accept-Encoding", false, true},
        // A script's HEAD went out without the Content-Encoding of its GET.
        {false, "/cgi-bin/page.sh", "br", "Accept-Encoding", false, true},
        {false, "/cgi-bin/slow.sh", "br", "Accept-Encoding", true, true},
        {false, "/page.php", "br", "Accept-Encoding", false, true},
        {true, "/cgi-bin/page.sh", "br", "Accept-Encoding", false, false, true},
        {true, "/cgi-bin/page.sh", "br", "Accept-Encoding", false, true, true},
        {true, "/cgi-bin/slow.sh", "br", "Accept-Encoding", true, false, true},
        {true, "/cgi-bin/slow.sh", "br", "Accept-Encoding", true, true, true},
        {true, "/page.php", "br", "Accept-Encoding", false, true, true},
        {false, "/small", "<none>", "Accept-Encoding", false},
        {false, "/file", "br", "Accept-Encoding", false},
        // A script that compressed its own body is left alone.
        {false, "/cgi-bin/zipped.sh", "gzip", "<none>", false},
        // Over TLS: scripts and host answers not marked safe go as they are.
        {true, "/cgi-bin/page.sh", "<none>", "<none>", false},
        {true, "/cgi-bin/slow.sh", "<none>", "<none>", true},
        {true, "/page.php", "<none>", "<none>", false},
        {true, "/page", "<none>", "<none>", false},
        {true, "/safe", "br", "Accept-Encoding", false},
        {true, "/file", "br", "Accept-Encoding", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.http2 ? "h2 " : c.https ? "https " : "http ") + (c.head ? "HEAD " : "") + c.path);
        const velko::Server& server = c.http2 ? *tlsScripts : c.https ? *tls : *plain;
        const Fetched got = Fetch(server, c.https, c.path, c.head, c.http2);
        EXPECT_EQ(got.head.substr(0, 12), c.http2 ? "HTTP/2 200 \r" : "HTTP/1.1 200");
        EXPECT_EQ(got.field("Content-Encoding"), c.coding);
        EXPECT_EQ(got.field("Vary"), c.vary);
        EXPECT_EQ(got.field("Transfer-Encoding"), c.chunked && !c.http2 ? "chunked" : "<none>");
        if (c.head) {
            // php-cgi writes no body for HEAD: its length is not known.
            const bool lengthKnown = std::string(c.path) != "/page.php";
            EXPECT_EQ(got.field("Content-Length"),
                      lengthKnown ? Fetch(server, c.https, c.path, false, c.http2).field("Content-Length") : "<none>");
            EXPECT_EQ(got.body.find("paragraph"), std::string::npos);  // curl -I prints the head again, no body
            continue;
        }
        const std::string expected = std::string(c.path) == "/small" ? "<p>short</p>"
                                     : std::string(c.path) == "/file" ? "var page = 1;\n" + page
                                                                      : page;
        EXPECT_TRUE(got.body == expected) << "decoded " << got.body.size() << " of " << expected.size();
        if (!c.chunked && std::string(c.coding) != "<none>") {
            EXPECT_LT(std::stoul(got.field("Content-Length")), expected.size() / 4);
        }
    }
}

TEST_F(CompressedAnswers, TurnedOffNothingIsCompressed) {
    auto plain = Start(false, false);
    for (const char* path : {"/cgi-bin/page.sh", "/page", "/file", "/big.js"}) {
        SCOPED_TRACE(path);
        const Fetched got = Fetch(*plain, false, path);
        EXPECT_EQ(got.field("Content-Encoding"), "<none>");
        EXPECT_EQ(got.field("Vary"), "<none>");
        EXPECT_EQ(got.body.size(), std::string(path) == "/page" || std::string(path) == "/cgi-bin/page.sh"
                                       ? page.size()
                                       : page.size() + 14);
    }
}
