// What other web sites can make a host's panel do through its visitors'
// browsers: commands on safe methods, cross-site posts, rebound names, and
// the security fields of the answers. velko::Server over HTTPS, with curl.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

class HostSiteRules : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::toCallback([this](const std::string& line) {
            std::lock_guard<std::mutex> guard(linesLock);
            lines.push_back(line);
        });
    }

    // The server's threads log into lines and count into acted: it goes first.
    void TearDown() override { server.reset(); }

    void Start() {
        server = std::make_unique<velko::Server>(options);
        ASSERT_GT(server->port(), 0);
        origin = "https://localhost:" + std::to_string(server->port());
        server->setValue("motd", "Hello");
        server->onCommand("motd", [this](const velko::Request& request) {
            ++acted;
            server->setValue("motd", request.formValue("text"));
            return velko::Answer::text("set");
        });
        server->on("POST", "/api/act", [this](const velko::Request&) {
            ++acted;
            return velko::Answer::text("acted");
        });
        server->on("GET", "/api/look", [](const velko::Request&) { return velko::Answer::text("looked"); });
    }

    // The head and body curl got.
    std::string Curl(const std::string& arguments, const std::string& scheme = "https") {
        const std::string resolve = scheme == "https" ? " --cacert " + Quoted(dir.file("cacert.pem")) : "";
        return Directory::Capture("curl -sS -i --http1.1 --max-time 30" + resolve + " " + arguments).output;
    }
    std::string StatusOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }
    bool Logged(const std::string& text) {
        std::lock_guard<std::mutex> guard(linesLock);
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string origin;
    std::atomic<int> acted{0};
    std::mutex linesLock;
    std::vector<std::string> lines;
};

// A command ran on HEAD and GET from any path, a post from any other site
// ran the command with 200, and any Host was answered (DNS rebinding).
TEST_F(HostSiteRules, RequestsFromOtherSitesDoNotAct) {
    Start();
    const std::string post = "-d velkoid=motd -d text=changed ";
    const std::string evil = "https://evil.example";
    const struct {
        std::string name;
        std::string arguments;  // before the URL
        std::string target;
        std::string status;
        bool acts;
    } cases[] = {
        {"HEAD with a command", "-I", "/style.css?velkoid=motd&text=changed", "200 OK", false},
        {"GET with a command", "", "/style.css?velkoid=motd&text=changed", "200 OK", false},
        {"post without Origin or Referer", post, "/", "200 OK", true},
        {"post from its own page", post + "-H " + Quoted("Origin: " + origin), "/", "200 OK", true},
        {"post with its own Referer", post + "-H " + Quoted("Referer: " + origin + "/live"), "/", "200 OK", true},
        {"post from another site", post + "-H " + Quoted("Origin: " + evil), "/", "403 Forbidden", false},
        {"post from another port", post + "-H " + Quoted("Origin: https://localhost:1"), "/", "403 Forbidden", false},
        {"post with another site's Referer", post + "-H " + Quoted("Referer: " + evil + "/f.html"), "/",
         "403 Forbidden", false},
        {"post said cross-site", post + "-H 'Sec-Fetch-Site: cross-site'", "/", "403 Forbidden", false},
        {"route post from another site", "-d x=1 -H " + Quoted("Origin: " + evil), "/api/act", "403 Forbidden",
         false},
        {"route post from its own page", "-d x=1 -H " + Quoted("Origin: " + origin), "/api/act", "200 OK", true},
        {"GET route from another site", "-H " + Quoted("Origin: " + evil), "/api/look", "200 OK", false},
        {"CGI post from another site", "-d x=1 -H " + Quoted("Origin: " + evil), "/cgi-bin/hello.sh", "200 OK",
         false},
        {"CGI post naming no command, from another site", "-d velkoid=nobody -H " + Quoted("Origin: " + evil),
         "/cgi-bin/hello.sh", "200 OK", false},
        {"file post from another site", "-d x=1 -H " + Quoted("Origin: " + evil), "/style.css",
         "405 Method Not Allowed", false},
        {"rebound name", "-H 'Host: evil.example'", "/style.css", "421 Misdirected Request", false},
        {"rebound name with its port", "-H " + Quoted("Host: evil.example:" + std::to_string(server->port())),
         "/motd", "421 Misdirected Request", false},
        {"rebound name as absolute target", "--request-target https://evil.example/style.css", "/style.css",
         "421 Misdirected Request", false},
        {"rebound name posting a command", post + "-H 'Host: evil.example'", "/", "421 Misdirected Request", false},
        {"loopback address", "-H " + Quoted("Host: 127.0.0.1:" + std::to_string(server->port())), "/style.css",
         "200 OK", false},
        {"IPv6 loopback", "-H 'Host: [::1]'", "/style.css", "200 OK", false},
    };
    for (const auto& c : cases) {
        const int before = acted.load();
        const std::string answer = Curl(c.arguments + " " + Quoted(origin + c.target));
        EXPECT_EQ(StatusOf(answer), "HTTP/1.1 " + c.status) << c.name << "\n" << answer;
        EXPECT_EQ(acted.load() - before, c.acts ? 1 : 0) << c.name;
    }
    EXPECT_TRUE(Logged("\"GET /style.css\" --> 421 ")) << [this] {
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        return all;
    }();
}

TEST_F(HostSiteRules, HostsOptInToGetCommandsNamedOriginsAndNames) {
    options.commandsOnGet = true;
    options.allowedOrigins = {"https://panel.example"};
    options.allowedHosts = {"panel.example"};
    Start();
    EXPECT_EQ(Curl(Quoted(origin + "/?velkoid=motd&text=linked")).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(server->value("motd"), "linked");
    EXPECT_EQ(StatusOf(Curl("-I " + Quoted(origin + "/?velkoid=motd&text=headed"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(server->value("motd"), "linked");
    EXPECT_EQ(StatusOf(Curl("-d velkoid=motd -d text=panel -H 'Origin: https://panel.example' " + Quoted(origin))),
              "HTTP/1.1 200 OK");
    EXPECT_EQ(server->value("motd"), "panel");
    EXPECT_EQ(StatusOf(Curl("-H 'Host: panel.example' " + Quoted(origin + "/motd"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(StatusOf(Curl("-H 'Host: evil.example' " + Quoted(origin + "/motd"))),
              "HTTP/1.1 421 Misdirected Request");
}

TEST_F(HostSiteRules, StoredValuesAreNeverSniffedAsPages) {
    Start();
    server->setValue("note", "<script>alert(1)</script>");
    const std::string answer = Curl(Quoted(origin + "/note"));
    EXPECT_NE(answer.find("Content-Type: text/plain; charset=utf-8\r\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("X-Content-Type-Options: nosniff\r\n"), std::string::npos) << answer;
}

TEST_F(HostSiteRules, SecurityHeadersInOneSetting) {
    Start();
    const std::string plain = Curl(Quoted(origin + "/style.css"));
    EXPECT_NE(plain.find("Referrer-Policy: strict-origin-when-cross-origin\r\n"), std::string::npos) << plain;
    for (const char* absent : {"Strict-Transport-Security", "X-Frame-Options", "Content-Security-Policy",
                               "X-Content-Type-Options"}) {
        EXPECT_EQ(plain.find(absent), std::string::npos) << absent << "\n" << plain;
    }
    server.reset();

    options.securityHeaders = velko::SecurityHeaders::strict();
    Start();
    for (const std::string target : {"/style.css", "/motd", "/api/look", "/cgi-bin/hello.sh", "/missing"}) {
        const std::string answer = Curl(Quoted(origin + target));
        for (const char* field : {"Strict-Transport-Security: max-age=31536000\r\n", "X-Frame-Options: DENY\r\n",
                                  "Content-Security-Policy: frame-ancestors 'none'\r\n",
                                  "Referrer-Policy: no-referrer\r\n", "X-Content-Type-Options: nosniff\r\n"}) {
            EXPECT_NE(answer.find(field), std::string::npos) << target << ": " << field << answer;
        }
    }
    server.reset();

    // Strict-Transport-Security means nothing over plain HTTP.
    options.https = false;
    Start();
    const std::string http = Curl(Quoted("http://127.0.0.1:" + std::to_string(server->port()) + "/style.css"), "http");
    EXPECT_NE(http.find("X-Frame-Options: DENY\r\n"), std::string::npos) << http;
    EXPECT_EQ(http.find("Strict-Transport-Security"), std::string::npos) << http;
}

}  // namespace
