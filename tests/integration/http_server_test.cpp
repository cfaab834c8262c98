// End to end: a server started through the application with a plain HTTP
// host entry, answering real curl requests over loopback; CGI through a
// shell script and PHP through the real php-cgi, pooled (two processes) or
// one per request.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

#include "api/server_handle.h"
#include "api/velko_server_api.h"
#include "platform/child_process.h"
#include "platform/file_system.h"

namespace {

struct CurlResult {
    std::string output;
    int exitCode = -1;
};

CurlResult Curl(std::vector<std::string> arguments, const std::string& input = {}, int timeoutMs = 20000) {
    platform::ChildOptions options;
    options.program = "curl";
    options.arguments = {"-s", "--max-time", "15"};
    options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
    options.environment = {"PATH=/usr/bin:/bin"};
    auto run = platform::runChild(options, input, 512u * 1024 * 1024, timeoutMs);
    return {run.output, run.exitCode};
}

void WriteFile(const std::string& path, const std::string& bytes, bool executable = false) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    out.close();
    if (executable) {
        platform::ChildOptions chmod;
        chmod.program = "/bin/chmod";
        chmod.arguments = {"755", path};
        platform::runChild(chmod, "", 1024, 5000);
    }
}

std::string Sha256(const std::string& path) {
    platform::ChildOptions options;
    options.program = "/usr/bin/sha256sum";
    options.arguments = {path};
    auto run = platform::runChild(options, "", 4096, 60000);
    return run.output.substr(0, 64);
}

class HttpServer : public ::testing::Test {
protected:
    void SetUp() override {
        auto dir = platform::makeTemporaryDirectory("velko_http_");
        ASSERT_TRUE(dir.ok());
        root = dir.value() + "/";
        platform::createDirectory(root + "cgi-bin");
        platform::createDirectory(root + "docs");
        platform::createDirectory(root + "empty");
        WriteFile(root + "index.html", "<html>home</html>");
        WriteFile(root + "style.css", "body{}");
        WriteFile(root + "app.js", "let a=1;");
        WriteFile(root + "docs/index.html", "<p>docs</p>");
        WriteFile(root + "secret.txt", "top secret");
        WriteFile(root + "cgi-bin/echo.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
                  "printf 'method=%s query=%s len=%s\\n' \"$REQUEST_METHOD\" \"$QUERY_STRING\" \"$CONTENT_LENGTH\"\n"
                  "cat\n",
                  true);
        WriteFile(root + "cgi-bin/count.sh",
                  "#!/bin/sh\nprintf 'Content-Type: text/plain\\n\\n'\nwc -c | tr -d ' '\n", true);
        WriteFile(root + "cgi-bin/forever.sh", "#!/bin/sh\nwhile :; do sleep 1; done\n", true);
        WriteFile(root + "cgi-bin/slow.sh", "#!/bin/sh\nsleep 2\nprintf 'Content-Type: text/plain\\n\\nslow\\n'\n", true);
        WriteFile(root + "hello.php", "<?php echo 'php:' . ($_GET['x'] ?? '') . ':' . ($_POST['y'] ?? ''); ?>");
        WriteFile(root + "args.php", "<?php echo 'argc=' . ($_SERVER['argc'] ?? 0); ?>");
        WriteFile(root + "redirect.php", "<?php header('Location: /elsewhere.html'); ?>");
        WriteFile(root + "echo.php", "<?php echo file_get_contents('php://input');");
        WriteFile(root + "pid.php", "<?php echo getmypid();");
        WriteFile(root + "exit.php", "<?php echo 'before'; exit(3); echo 'after';");
        WriteFile(root + "stderr.php", "<?php error_log('marker from php'); echo 'logged';");
        // Tells its process id through a file, then sleeps.
        WriteFile(root + "sleep.php", "<?php file_put_contents(__DIR__ . '/pid', getmypid());"
                                      " usleep(1000 * (int)$_GET['ms']); echo 'slept ' . getmypid();");

        KoApplicationSettings settings;
        settings.http.cgiTimeout = std::chrono::milliseconds(3000);
        settings.http.headerDeadline = std::chrono::milliseconds(800);
        settings.http.php.processes = 2;
        settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
        handle = KoStartServer("127.0.0.1", 0, root.c_str(), (root + "cgi-bin/").c_str(), "c", "k", 3, settings);
        for (int i = 0; i < 200 && ServerPort(handle) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        port = ServerPort(handle);
        ASSERT_NE(port, 0);
        base = "http://127.0.0.1:" + std::to_string(port);
    }
    void TearDown() override {
        StopHTTPserver(handle);
        platform::removeTree(root);
    }

    // The process id a sleeping script wrote, once it is there.
    std::string SleeperPid() {
        std::string pid;
        for (int i = 0; i < 500 && pid.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::ifstream(root + "pid") >> pid;
        }
        return pid;
    }

    void* handle = nullptr;
    std::string root;
    std::string base;
    int port = 0;
};

TEST_F(HttpServer, ServesFilesWithTheirTypes) {
    EXPECT_EQ(Curl({base + "/"}).output, "<html>home</html>");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{content_type}", base + "/style.css"}).output, "text/css");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{content_type}", base + "/app.js"}).output, "text/javascript");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{content_type}", base + "/index.html"}).output, "text/html");
    auto head = Curl({"-I", base + "/secret.txt"}).output;
    EXPECT_NE(head.find("Content-Length: 10"), std::string::npos) << head;
    EXPECT_EQ(head.find("top secret"), std::string::npos);
}

TEST_F(HttpServer, DirectoriesAndMissingFiles) {
    EXPECT_EQ(Curl({base + "/docs/"}).output, "<p>docs</p>");
    auto redirect = Curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", base + "/docs"}).output;
    EXPECT_EQ(redirect, "301 " + base + "/docs/");
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", base + "/empty/"}).output, "404");
    auto missing = Curl({"-w", "\n%{http_code}", base + "/nothing.html"}).output;
    EXPECT_NE(missing.find("Error 404 - not found"), std::string::npos);
    EXPECT_EQ(missing.substr(missing.size() - 3), "404");
}

TEST_F(HttpServer, RefusesTraversal) {
    // The parent of the root holds a file the server must never hand out.
    for (const char* path : {"/../secret.txt", "/%2e%2e/secret.txt", "/docs/%2e%2e/secret.txt",
                                    "/docs%2f..%2fsecret.txt", "/secret.txt%00.html", "/./secret.txt",
                                    "/docs/./../secret.txt", "/.hidden"}) {
        auto result = Curl({"--path-as-is", "-o", "/dev/null", "-w", "%{http_code}", base + std::string(path)});
        EXPECT_EQ(result.output, "404") << path;
    }
}

TEST_F(HttpServer, LargeFileArrivesWhole) {
    const std::string big = root + "big.bin";
    {
        std::ofstream out(big, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (int i = 0; i < 100; ++i) {
            for (std::size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const std::string copy = root + "copy.bin";
    auto result = Curl({"-o", copy, base + "/big.bin"}, {}, 60000);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(Sha256(copy), Sha256(big));
}

TEST_F(HttpServer, CgiGetAndPost) {
    EXPECT_EQ(Curl({base + "/cgi-bin/echo.sh?a=1&b=2"}).output, "method=GET query=a=1&b=2 len=\n");
    EXPECT_EQ(Curl({"--data-binary", "hello", base + "/cgi-bin/echo.sh"}).output, "method=POST query= len=5\nhello");
    const std::string mib(1 << 20, 'x');
    EXPECT_EQ(Curl({"--data-binary", "@-", base + "/cgi-bin/count.sh"}, mib).output, "1048576\n");
}

TEST_F(HttpServer, CgiThatNeverEndsIsKilled) {
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", base + "/cgi-bin/forever.sh"}).output, "504");
}

TEST_F(HttpServer, StaticFileWhileSlowScriptRuns) {
    std::thread slow([&] { EXPECT_EQ(Curl({base + "/cgi-bin/slow.sh"}).output, "slow\n"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Curl({base + "/style.css"}).output, "body{}");
    const auto took = std::chrono::steady_clock::now() - start;
    slow.join();
    EXPECT_LT(took, std::chrono::milliseconds(1500));
}

TEST_F(HttpServer, PhpThroughPhpCgi) {
    EXPECT_EQ(Curl({base + "/hello.php?x=1"}).output, "php:1:");
    EXPECT_EQ(Curl({"-d", "y=2", base + "/hello.php"}).output, "php::2");
    auto redirect = Curl({"-o", "/dev/null", "-w", "%{http_code} %{redirect_url}", base + "/redirect.php"}).output;
    EXPECT_EQ(redirect, "302 " + base + "/elsewhere.html");
    // A query without "=" must not become an interpreter argument.
    EXPECT_EQ(Curl({base + "/args.php?-s"}).output, "argc=0");
}

TEST_F(HttpServer, PhpBodiesStderrAndExit) {
    std::string mib(1 << 20, '\0');
    for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>('a' + i % 23);
    EXPECT_TRUE(Curl({"--data-binary", "@-", "-H", "Content-Type: application/octet-stream", base + "/echo.php"}, mib)
                    .output == mib);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Curl({base + "/stderr.php"}).output, "logged");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("marker from php"), std::string::npos);
    EXPECT_EQ(Curl({"-w", " %{http_code}", base + "/exit.php"}).output, "before 200");
}

TEST_F(HttpServer, PhpPastTheTimeLimitGets504AndThePoolGoesOn) {
    EXPECT_EQ(Curl({"-o", "/dev/null", "-w", "%{http_code}", base + "/sleep.php?ms=60000"}).output, "504");
    EXPECT_EQ(Curl({base + "/hello.php?x=after"}).output, "php:after:");
}

TEST_F(HttpServer, PhpInterpreterKilledMidRequestGets502AndAFreshOneServes) {
    std::string code;
    std::thread waiting([&] { code = Curl({"-o", "/dev/null", "-w", "%{http_code}", base + "/sleep.php?ms=60000"}).output; });
    const std::string pid = SleeperPid();
    ASSERT_FALSE(pid.empty());
    ::kill(std::stoi(pid), SIGKILL);
    waiting.join();
    EXPECT_EQ(code, "502");
    for (int i = 0; i < 4; ++i) EXPECT_NE(Curl({base + "/pid.php"}).output, pid);
    EXPECT_EQ(Curl({base + "/hello.php?x=1"}).output, "php:1:");
}

TEST_F(HttpServer, TwentyConcurrentPhpRequestsOnAPoolOfTwo) {
    std::vector<std::string> outputs(20);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        clients.emplace_back([&, i] { outputs[i] = Curl({base + "/sleep.php?ms=100"}).output; });
    }
    for (auto& client : clients) client.join();
    std::set<std::string> interpreters;
    for (const std::string& output : outputs) {
        EXPECT_EQ(output.rfind("slept ", 0), 0u) << output;
        interpreters.insert(output);
    }
    EXPECT_LE(interpreters.size(), 2u);
}

TEST_F(HttpServer, StopWithAPhpRequestInFlight) {
    std::thread waiting([&] { Curl({base + "/sleep.php?ms=60000"}); });
    const std::string pid = SleeperPid();
    ASSERT_FALSE(pid.empty());
    const auto started = std::chrono::steady_clock::now();
    StopHTTPserver(handle);
    handle = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(std::filesystem::exists("/proc/" + pid));
    waiting.join();
}

TEST_F(HttpServer, PhpOneProcessPerRequestWhenThePoolIsOff) {
    KoApplicationSettings settings;
    settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
    HostEntry host;
    host.address = "127.0.0.1";
    host.protocolCode = 3;
    KoVelkoApplication2 app(nullptr, {host}, {{"_baseDirectoryHTTP", root}, {"no_browser_popup", "1"}, {"_phppool", "off"}},
                            settings);
    app.start();
    std::string port;
    for (int i = 0; i < 200 && port.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto options = app.options();
        port = options.count("tcp_port_http") ? options["tcp_port_http"] : "";
    }
    const std::string at = "http://127.0.0.1:" + port;
    EXPECT_EQ(Curl({at + "/hello.php?x=5"}).output, "php:5:");
    std::set<std::string> pids;
    for (int i = 0; i < 3; ++i) pids.insert(Curl({at + "/pid.php"}).output);
    EXPECT_EQ(pids.size(), 3u);
}

// The example host passes "./htmlroot/". Scripts run in their own directory,
// where that relative path named nothing: CGI gave 502 and PHP "No input file".
TEST_F(HttpServer, RelativeDocumentRootRunsScripts) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(root);
    KoApplicationSettings settings;
    settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
    void* relative = KoStartServer("127.0.0.1", 0, "./", "./cgi-bin/", "c", "k", 3, settings);
    for (int i = 0; i < 200 && ServerPort(relative) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string at = "http://127.0.0.1:" + std::to_string(ServerPort(relative));
    EXPECT_EQ(Curl({at + "/cgi-bin/echo.sh?a=1"}).output, "method=GET query=a=1 len=\n");
    EXPECT_EQ(Curl({at + "/hello.php?x=3"}).output, "php:3:");
    StopHTTPserver(relative);
    std::filesystem::current_path(previous);
}

TEST_F(HttpServer, KeepAliveAndPipelining) {
    auto two = Curl({base + "/style.css", base + "/app.js", "-w", "%{num_connects}"}).output;
    EXPECT_EQ(two, "body{}1let a=1;0");  // the second transfer reuses the first connection
    // Two requests in one write on one connection, answered in order.
    platform::ChildOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) + " 2>/dev/null || exit 9; cat >&3; cat <&3"};
    options.program = "/bin/bash";
    auto run = platform::runChild(options,
                                  "GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\nGET /app.js HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n",
                                  1 << 20, 10000);
    const auto first = run.output.find("body{}");
    const auto second = run.output.find("let a=1;");
    ASSERT_NE(first, std::string::npos) << run.output;
    ASSERT_NE(second, std::string::npos) << run.output;
    EXPECT_LT(first, second);
}

TEST_F(HttpServer, SlowHeaderIsDropped) {
    platform::ChildOptions options;
    options.program = "/bin/bash";
    options.arguments = {"-c", "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) +
                                   "; printf 'GET / HTTP/1.1\\r\\n' >&3; cat <&3"};
    auto run = platform::runChild(options, "", 1 << 16, 8000);
    EXPECT_EQ(run.outcome, platform::ChildRun::Outcome::completed);
    EXPECT_NE(run.output.find("408"), std::string::npos) << run.output;
}

}  // namespace
