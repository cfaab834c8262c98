// The request hook of the host interface, end to end: velko::Server over
// HTTPS with curl; a token check that guards files, scripts, routes, stored
// values and commands alike.
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

class HostRequestHook : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        std::ofstream(dir.file("htmlroot/cgi-bin/who.sh"))
            << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\necho \"user=$REMOTE_USER\"\n";
        ASSERT_EQ(Directory::Run("chmod +x " + Quoted(dir.file("htmlroot/cgi-bin/who.sh"))), 0);
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    std::string Curl(const std::string& arguments) {
        return Directory::Capture("curl -sS -i --http1.1 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) + " " +
                                  arguments)
            .output;
    }
    static std::string StatusOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
};

// A host had no one place to check every request (a token, say): each
// handler checked by hand, and files and scripts could not be guarded.
TEST_F(HostRequestHook, TokenCheckGuardsEverythingAndNamesTheUser) {
    options.requestHook = [](velko::Request& request, velko::Answer& answer) {
        if (request.path == "/boom") throw std::runtime_error("the hook broke");
        if (request.field("x-token") != "s3cret") {
            answer = velko::Answer::text("token needed\n", 401);
            answer.headers.push_back({"WWW-Authenticate", "Bearer"});
            return true;
        }
        request.user = "token-holder";
        return false;
    };
    server = std::make_unique<velko::Server>(options);
    const std::string base = "https://localhost:" + std::to_string(server->port());
    std::atomic<int> commands{0};
    server->on("GET", "/me", [](const velko::Request& request) { return velko::Answer::text("me=" + request.user); });
    server->onCommand("count", [&](const velko::Request&) {
        ++commands;
        return velko::Answer::text("counted");
    });
    server->setValue("greeting", "hello");

    const std::string token = "-H 'X-Token: s3cret' ";
    const std::string command = "-d velkoid=count ";
    const struct {
        std::string arguments;
        std::string target;
        std::string status;
        std::string shows;
    } cases[] = {
        {"", "/style.css", "401 Unauthorized", "token needed"},
        {token, "/style.css", "200 OK", "color"},
        {"", "/cgi-bin/who.sh", "401 Unauthorized", "WWW-Authenticate: Bearer"},
        {token, "/cgi-bin/who.sh", "200 OK", "user=token-holder"},
        {"", "/me", "401 Unauthorized", "token needed"},
        {token, "/me", "200 OK", "me=token-holder"},
        {"", "/greeting", "401 Unauthorized", "token needed"},
        {token, "/greeting", "200 OK", "hello"},
        {command, "/", "401 Unauthorized", "token needed"},
        {command + token, "/", "200 OK", "counted"},
        {"-H 'X-Token: wrong' ", "/missing.html", "401 Unauthorized", "token needed"},
        {token, "/missing.html", "404 Not Found", "Error 404"},
        // A hook that throws: the 500 says what it is (it had no body).
        {token, "/boom", "500 Internal Error", "\r\n\r\n500 Internal Error\n"},
    };
    for (const auto& c : cases) {
        const std::string answer = Curl(c.arguments + Quoted(base + c.target));
        EXPECT_EQ(StatusOf(answer), "HTTP/1.1 " + c.status) << c.arguments << c.target << "\n" << answer;
        EXPECT_NE(answer.find(c.shows), std::string::npos) << c.arguments << c.target << "\n" << answer;
    }
    // Only the command with the token ran.
    EXPECT_EQ(commands.load(), 1);
    // Requests behind one that went through the hook go on on its connection.
    const std::string both = Curl(token + Quoted(base + "/style.css") + " " + Quoted(base + "/me"));
    EXPECT_EQ(both.find("HTTP/1.1 200 OK"), 0u) << both;
    EXPECT_NE(both.find("HTTP/1.1 200 OK", 1), std::string::npos) << both;
    EXPECT_NE(both.find("me=token-holder"), std::string::npos) << both;
}

// The hook comes after the access rules: a request they refuse never reaches it.
TEST_F(HostRequestHook, RunsAfterTheAccessRules) {
    options.access = {{"/private", "deny all", "", "velkotwo"}};
    std::atomic<int> asked{0};
    options.requestHook = [&](velko::Request&, velko::Answer&) {
        ++asked;
        return false;
    };
    server = std::make_unique<velko::Server>(options);
    const std::string base = "https://localhost:" + std::to_string(server->port());
    EXPECT_EQ(StatusOf(Curl(Quoted(base + "/style.css"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(asked.load(), 1);
    EXPECT_EQ(StatusOf(Curl(Quoted(base + "/private/x"))), "HTTP/1.1 403 Forbidden");
    EXPECT_EQ(asked.load(), 1);
}

}  // namespace
