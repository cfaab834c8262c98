// End to end over loopback with curl --compressed: a CGI program's and a
// PHP script's output (whole and streamed) and host answers are compressed over HTTP; over
// HTTPS only host answers marked safe and files are, never CGI output by
// default (BREACH); the bytes decode to what was made, and every answer
// that could be compressed says "Vary: Accept-Encoding".
#include <velkotwo/server.h>

#include <gtest/gtest.h>

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
    std::string field(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const std::size_t at = head.find(key);
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
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/page.sh"),
                              "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\ncat ../page.txt\n");
        // A pause after the first half: the answer is streamed, chunked.
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/slow.sh"),
                              "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\nhead -c 3000 ../page.txt\n"
                              "sleep 1\ntail -c +3001 ../page.txt\n");
        host_shell::WriteFile(dir.file("htmlroot/cgi-bin/zipped.sh"),
                              "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\nContent-Encoding: gzip\\r\\n\\r\\n'\n"
                              "gzip -c ../page.txt\n");
        host_shell::WriteFile(dir.file("htmlroot/page.php"), "<?php readfile(__DIR__ . '/page.txt');");
        ASSERT_EQ(Directory::Run("chmod +x " + Quoted(dir.file("htmlroot/cgi-bin")) + "/*.sh"), 0);
    }

    std::unique_ptr<velko::Server> Start(bool https, bool compression = true) {
        velko::ServerOptions options;
        options.https = https;
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
        options.compression = compression;
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

    // head: a HEAD request (curl -I).
    Fetched Fetch(const velko::Server& server, bool https, const std::string& path, bool head = false) {
        const std::string url = std::string(https ? "https" : "http") + "://localhost:" +
                                std::to_string(server.port()) + path;
        const host_shell::Result got = Directory::Capture("curl -sS --http1.1 --max-time 30 --compressed -D - " +
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
    struct Case {
        bool https;
        const char* path;
        const char* coding;  // Content-Encoding, "<none>" for none
        const char* vary;
        bool chunked;
        bool head = false;  // HEAD: the head of its GET, no body
    };
    const Case cases[] = {
        {false, "/cgi-bin/page.sh", "br", "Accept-Encoding", false},
        {false, "/cgi-bin/slow.sh", "br", "Accept-Encoding", true},
        {false, "/page.php", "br", "Accept-Encoding", false},
        {false, "/page", "br", "Accept-Encoding", false},
        // A HEAD announced the identity length and no coding.
        {false, "/page", "br", "Accept-Encoding", false, true},
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
        SCOPED_TRACE(std::string(c.https ? "https " : "http ") + (c.head ? "HEAD " : "") + c.path);
        const Fetched got = Fetch(c.https ? *tls : *plain, c.https, c.path, c.head);
        EXPECT_EQ(got.head.substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_EQ(got.field("Content-Encoding"), c.coding);
        EXPECT_EQ(got.field("Vary"), c.vary);
        EXPECT_EQ(got.field("Transfer-Encoding"), c.chunked ? "chunked" : "<none>");
        if (c.head) {
            EXPECT_EQ(got.field("Content-Length"), Fetch(c.https ? *tls : *plain, c.https, c.path).field("Content-Length"));
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
