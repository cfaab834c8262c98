// Passwords and address rules of the host interface, end to end: applied
// before routing, so that files, scripts and handlers are guarded alike.
// velko::Server over HTTPS, with curl; the password file made by openssl
// (SHA-512 crypt).
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;

class HostAccess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        const std::string hash = Directory::Capture("openssl passwd -6 secret").output;
        ASSERT_EQ(hash.rfind("$6$", 0), 0u) << hash;
        std::ofstream(dir.file("passwords")) << "# made by openssl passwd -6\nalice:" << hash;
        std::ofstream(dir.file("htmlroot/cgi-bin/who.sh"))
            << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
               "echo \"user=$REMOTE_USER type=$AUTH_TYPE authorization=$HTTP_AUTHORIZATION\"\n";
        ASSERT_EQ(Directory::Run("chmod +x " + Quoted(dir.file("htmlroot/cgi-bin/who.sh"))), 0);
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    void Start() {
        server = std::make_unique<velko::Server>(options);
        ASSERT_GT(server->port(), 0);
        base = "https://localhost:" + std::to_string(server->port());
        server->on("GET", "/private/me", [](const velko::Request& request) {
            return velko::Answer::text("me=" + request.user);
        });
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
    std::string base;
};

// There was no way to require a password or to refuse addresses: every
// file, script and handler answered anyone who reached the port.
TEST_F(HostAccess, PasswordsAndAddressRulesByPathPrefix) {
    options.access = {{"/private", "", dir.file("passwords"), "panel"},
                      {"/cgi-bin", "", dir.file("passwords"), "panel"},
                      {"/lan", "allow 10.0.0.0/8\nallow fd00::/8", "", "velkotwo"}};
    Start();
    const std::string right = "-u alice:secret ";
    const struct {
        std::string arguments;
        std::string target;
        std::string status;
        std::string shows;  // in the answer
    } cases[] = {
        {"", "/style.css", "200 OK", "color"},
        {"", "/private/me", "401 Unauthorized", "WWW-Authenticate: Basic realm=\"panel\""},
        {right, "/private/me", "200 OK", "me=alice"},
        {"-u alice:wrong ", "/private/me", "401 Unauthorized", "WWW-Authenticate: Basic realm=\"panel\""},
        {"-u bob:secret ", "/private/me", "401 Unauthorized", "WWW-Authenticate"},
        {"-H 'Authorization: Basic !!!' ", "/private/me", "401 Unauthorized", "WWW-Authenticate"},
        {"", "/private/missing.html", "401 Unauthorized", "WWW-Authenticate"},  // static files too
        {right, "/private/missing.html", "404 Not Found", "Error 404"},
        {"", "/%70rivate/me", "401 Unauthorized", "WWW-Authenticate"},  // by the decoded path
        {"", "//private/me", "401 Unauthorized", "WWW-Authenticate"},
        {"", "/privateer", "404 Not Found", "Error 404"},  // not below the prefix
        {"", "/cgi-bin/who.sh", "401 Unauthorized", "WWW-Authenticate"},
        // The program learns who, and never sees the password.
        {right, "/cgi-bin/who.sh", "200 OK", "user=alice type=Basic authorization=\n"},
        {"", "/lan/x", "403 Forbidden", "403 Forbidden"},
        // An upload without credentials is refused before its body is asked for.
        {"-H 'Expect: 100-continue' --data-binary 0123456789 ", "/cgi-bin/who.sh", "401 Unauthorized",
         "WWW-Authenticate"},
        {right + "-H 'Expect: 100-continue' --data-binary 0123456789 ", "/cgi-bin/who.sh", "100 Continue",
         "user=alice"},
    };
    for (const auto& c : cases) {
        const std::string answer = Curl(c.arguments + Quoted(base + c.target));
        EXPECT_EQ(StatusOf(answer), "HTTP/1.1 " + c.status) << c.arguments << c.target << "\n" << answer;
        EXPECT_NE(answer.find(c.shows), std::string::npos) << c.arguments << c.target << "\n" << answer;
    }
}

TEST_F(HostAccess, TooManyFailedLogInsAreAnswered429) {
    options.access = {{"/", "", dir.file("passwords"), "panel"}};
    options.maxLoginFailures = 3;
    Start();
    // Three are allowed; the fourth is one too many.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(StatusOf(Curl("-u alice:guess " + Quoted(base + "/"))), "HTTP/1.1 401 Unauthorized") << i;
    }
    // Right or wrong, the address waits now.
    const std::string blocked = Curl("-u alice:secret " + Quoted(base + "/"));
    EXPECT_EQ(StatusOf(blocked), "HTTP/1.1 429 Too Many Requests") << blocked;
    EXPECT_NE(blocked.find("Retry-After: 60\r\n"), std::string::npos) << blocked;
}

TEST_F(HostAccess, ServerAddressRulesRefuseAtAccept) {
    options.serverAddresses = "deny 127.0.0.0/8\ndeny ::1";
    Start();
    const auto refused = Directory::Capture("curl -sS --http1.1 --max-time 30 -o /dev/null -w '%{http_code}' --cacert " +
                                            Quoted(dir.file("cacert.pem")) + " " + Quoted(base + "/style.css"));
    EXPECT_NE(refused.status, 0) << refused.output;
    EXPECT_EQ(refused.output.substr(refused.output.size() - 3), "000") << refused.output;
    server.reset();

    options.serverAddresses = "allow 127.0.0.1";
    Start();
    EXPECT_EQ(StatusOf(Curl(Quoted(base + "/style.css"))), "HTTP/1.1 200 OK");
}

TEST_F(HostAccess, PasswordsNeedHttpsUnlessTheHostSaysSo) {
    options.https = false;
    options.access = {{"/", "", dir.file("passwords"), "panel"}};
    try {
        velko::Server plain(options);
        ADD_FAILURE() << "a password file was set up on plain HTTP";
    } catch (const KoException& error) {
        EXPECT_NE(std::string(error.what()).find("needs HTTPS"), std::string::npos) << error.what();
    }
    options.passwordsOverHttp = true;
    velko::Server proxied(options);
    const std::string http = "http://127.0.0.1:" + std::to_string(proxied.port()) + "/style.css";
    EXPECT_EQ(StatusOf(Directory::Capture("curl -sS -i --max-time 30 " + Quoted(http)).output),
              "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(StatusOf(Directory::Capture("curl -sS -i --max-time 30 -u alice:secret " + Quoted(http)).output),
              "HTTP/1.1 200 OK");
}

TEST_F(HostAccess, UnreadableRulesStopTheStart) {
    options.access = {{"/", "", dir.file("no-such-file"), "panel"}};
    EXPECT_THROW(velko::Server server(options), KoException);
    options.access = {{"/", "allow nonsense", "", "velkotwo"}};
    EXPECT_THROW(velko::Server server(options), KoException);
    options.access = {{"admin", "", "", "velkotwo"}};
    EXPECT_THROW(velko::Server server(options), KoException);
}

}  // namespace
