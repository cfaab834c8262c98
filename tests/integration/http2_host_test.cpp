// The host interface over HTTP/2: routes with parameters, forms, cookies and
// a host's stored value, answered through the same router as HTTP/1.1, by
// curl --http2 on the loopback address.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

class Http2Host : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    std::string Curl(const std::string& arguments, const std::string& target) {
        return Directory::Capture("curl -sS -i --http2 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) +
                                  " " + arguments + " " + Quoted(base + target))
            .output;
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string base;
};

}  // namespace

TEST_F(Http2Host, RoutesFormsAndCookiesMeanTheSame) {
    server = std::make_unique<velko::Server>(options);
    ASSERT_GT(server->port(), 0);
    base = "https://localhost:" + std::to_string(server->port());
    server->on("GET", "/api/items/:id", [](const velko::Request& r) { return velko::Answer::text("item " + r.param("id")); });
    server->on("POST", "/api/items/:id", [](const velko::Request& r) {
        return velko::Answer::text("post " + r.param("id") + " q=" + r.formValue("q"));
    });
    server->on("GET", "/cookies", [](const velko::Request& r) {
        return velko::Answer::text("a=" + r.cookie("a") + " b=" + r.cookie("b", "none"));
    });
    server->on("GET", "/page", [](const velko::Request&) {
        std::string page;
        for (int i = 0; i < 500; ++i) page += "<p>paragraph " + std::to_string(i) + "</p>\n";
        velko::Answer answer = velko::Answer::html(page);
        answer.compress = true;
        return answer;
    });
    // What a GET of the page announces, for its HEAD.
    const std::string get = Curl("--compressed", "/page");
    const std::size_t at = get.find("content-length: ");
    ASSERT_NE(at, std::string::npos) << get;
    const std::string getLength = get.substr(at, get.find("\r\n", at) - at);

    struct Row {
        std::string curl;
        std::string target;
        std::vector<std::string> present;
    };
    const std::vector<Row> rows = {
        {"", "/api/items/7", {"HTTP/2 200", "\r\n\r\nitem 7"}},
        {"--data q=found", "/api/items/8", {"HTTP/2 200", "post 8 q=found"}},
        {"-b a=1 -b b=2", "/cookies", {"a=1 b=2"}},
        {"", "/api/nothing", {"HTTP/2 404"}},
        // A HEAD announced the identity length and no coding.
        {"-I --compressed", "/page", {"HTTP/2 200", "content-encoding: br", "vary: Accept-Encoding", getLength}},
    };
    for (const Row& row : rows) {
        const std::string answer = Curl(row.curl, row.target);
        for (const std::string& piece : row.present)
            EXPECT_NE(answer.find(piece), std::string::npos) << row.target << " lacks " << piece << ":\n" << answer;
        EXPECT_EQ(answer.find("connection:"), std::string::npos) << answer;
    }
}

// ServerOptions::http2 off: ALPN offers no "h2", and a client that asks for
// HTTP/2 is served over HTTP/1.1.
TEST_F(Http2Host, TurnedOffClientsGetHttp11) {
    options.http2 = false;
    server = std::make_unique<velko::Server>(options);
    ASSERT_GT(server->port(), 0);
    base = "https://localhost:" + std::to_string(server->port());
    const std::string answer = Curl("-o /dev/null -w '[%{http_version}]'", "/index.html");
    EXPECT_NE(answer.find("[1.1]"), std::string::npos) << answer;
}
