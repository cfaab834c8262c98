// The host interface end to end, as a host uses it: velko::Server from the
// public headers and libvelkotwo, requests over HTTPS with curl.
#include <velkotwo/page.h>
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_shell.h"

namespace {

using namespace std::chrono_literals;
using host_shell::Directory;
using host_shell::Quoted;

// A handler gate: calls wait inside until the test opens it; counts how
// many are inside at once.
class Gate {
public:
    void enter() {
        std::unique_lock<std::mutex> guard(lock);
        ++inside;
        ++entered;
        peak = std::max(peak, inside);
        changed.notify_all();
        changed.wait(guard, [&] { return open; });
        --inside;
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        open = true;
        changed.notify_all();
    }
    bool waitEntered(int n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 30s, [&] { return entered >= n; });
    }
    std::mutex lock;
    std::condition_variable changed;
    int inside = 0;
    int entered = 0;
    int peak = 0;
    bool open = false;
};

class HostApi : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
    }

    void Start() {
        server = std::make_unique<velko::Server>(options);
        ASSERT_GT(server->port(), 0);
        base = "https://localhost:" + std::to_string(server->port());
    }

    // curl's output: the status line and fields with -i, or the body.
    host_shell::Result Curl(const std::string& arguments) {
        return Directory::Capture("curl -sS --http1.1 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) + " " + arguments);
    }
    std::string Body(const std::string& target, const std::string& more = "") {
        return Curl(more + " " + Quoted(base + target)).output;
    }
    // "status content-type" of an answer.
    std::string StatusAndType(const std::string& target, const std::string& more = "") {
        return Curl(more + " -o /dev/null -w '%{http_code} %{content_type}' " + Quoted(base + target)).output;
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string base;
};

TEST_F(HostApi, CommandsByIdAndRoutesByPath) {
    // A command in a query string runs only where the host asks for it.
    options.commandsOnGet = true;
    Start();
    server->onCommand("calc", [](const velko::Request& request) {
        return velko::Answer::text(request.command + ":" + request.formValue("a") + "+" + request.formValue("b") + ":" +
                                   request.method + ":" + request.path);
    });
    server->on("POST", "/api/echo", [](const velko::Request& request) {
        velko::Answer answer = velko::Answer::json("{\"body\":\"" + request.body + "\",\"q\":\"" + request.query +
                                                   "\",\"agent\":\"" + request.field("user-agent") + "\",\"from\":\"" +
                                                   request.remoteAddress + "\"}");
        answer.status = 201;
        answer.headers.push_back({"Set-Cookie", "seen=1"});
        return answer;
    });
    server->on("GET", "/api/*", [](const velko::Request& request) { return velko::Answer::text("prefix " + request.path); });

    EXPECT_EQ(Body("/?velkoid=calc&velkocommand=add&a=1&b=2"), "add:1+2:GET:/");
    EXPECT_EQ(Body("/any/where", "-d velkoid=calc -d velkocommand=sum -d a=3 -d b=4"), "sum:3+4:POST:/any/where");
    // An identifier nobody registered goes on to the files.
    EXPECT_EQ(StatusAndType("/index.html?velkoid=nobody"), "200 text/html");

    const auto echo = Curl("-i -A probe --data-binary payload " + Quoted(base + "/api/echo?x=1"));
    EXPECT_NE(echo.output.find("HTTP/1.1 201 "), std::string::npos) << echo.output;
    EXPECT_NE(echo.output.find("Content-Type: application/json\r\n"), std::string::npos) << echo.output;
    EXPECT_NE(echo.output.find("Set-Cookie: seen=1\r\n"), std::string::npos) << echo.output;
    EXPECT_NE(echo.output.find("{\"body\":\"payload\",\"q\":\"x=1\",\"agent\":\"probe\",\"from\":\"127.0.0.1\"}"),
              std::string::npos)
        << echo.output;

    EXPECT_EQ(Body("/api/other/thing"), "prefix /api/other/thing");
    // Matched on the decoded, collapsed path.
    EXPECT_EQ(Body("//api/%6fther"), "prefix /api/other");
    // A POST to a GET route is not answered by it: the route tells what it takes.
    EXPECT_EQ(StatusAndType("/api/x", "-d a=1"), "405 text/plain; charset=utf-8");
    // HEAD takes the GET route, without the body.
    EXPECT_NE(Curl("-I " + Quoted(base + "/api/x")).output.find("Content-Length: 13\r\n"), std::string::npos);

    server->onCommand("calc", nullptr);
    server->on("GET", "/api/*", nullptr);
    EXPECT_EQ(StatusAndType("/?velkoid=calc"), "200 text/html");  // the start page
    EXPECT_EQ(StatusAndType("/api/x"), "404 text/html; charset=utf-8");
}

// What went wrong: a handler's body was held whole in memory whatever its
// size (up to the 64 MiB limit per request). Past the memory bound it now
// lies in a temporary file named by bodyFile, readable while the handler
// runs and removed when the request ends; a small body is in body, as ever.
TEST_F(HostApi, ALargeBodyReachesAHandlerInAFile) {
    Start();
    std::mutex lock;
    std::string seenFile;
    server->on("POST", "/api/upload", [&](const velko::Request& request) {
        std::string held = request.body;
        if (!request.bodyFile.empty()) {
            std::ifstream in(request.bodyFile, std::ios::binary);
            held.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            std::lock_guard<std::mutex> guard(lock);
            seenFile = request.bodyFile;
        }
        const bool ordered = std::all_of(held.begin(), held.end(), [](char c) { return c == 'u'; });
        return velko::Answer::text(std::string(request.bodyFile.empty() ? "memory " : "file ") +
                                   std::to_string(held.size()) + (ordered ? " whole" : " damaged"));
    });
    const std::string large = dir.file("large.bin");
    {
        std::ofstream out(large, std::ios::binary);
        out << std::string(3 << 20, 'u');
    }
    EXPECT_EQ(Body("/api/upload", "--data-binary @" + Quoted(large)), "file 3145728 whole");
    EXPECT_EQ(Body("/api/upload", "--data-binary uuuu"), "memory 4 whole");
    std::string spooled;
    {
        std::lock_guard<std::mutex> guard(lock);
        spooled = seenFile;
    }
    ASSERT_FALSE(spooled.empty());
    bool removed = false;
    for (int i = 0; i < 250 && !removed; ++i) {
        removed = !std::ifstream(spooled).good();
        if (!removed) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(removed) << spooled;
}

TEST_F(HostApi, RoutesComeBeforeFiles) {
    Start();
    const std::string file = host_shell::ReadFile(dir.file("htmlroot/index.html"));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(Body("/index.html"), file);
    server->on("GET", "/index.html", [](const velko::Request&) { return velko::Answer::html("<p>route</p>"); });
    server->on("*", "/cgi-bin/*", [](const velko::Request&) { return velko::Answer::text("no programs"); });
    EXPECT_EQ(Body("/index.html"), "<p>route</p>");
    EXPECT_EQ(Body("/cgi-bin/hello.sh"), "no programs");
    // Other files are still served, and so is the start page.
    EXPECT_EQ(Body("/"), file);
    EXPECT_EQ(StatusAndType("/style.css"), "200 text/css");
}

TEST_F(HostApi, ABlockingHandlerDoesNotHoldUpFiles) {
    Start();
    Gate gate;
    server->on("GET", "/slow", [&gate](const velko::Request&) {
        gate.enter();
        return velko::Answer::text("late");
    });
    std::string slow;
    std::thread waiting([&] { slow = Body("/slow"); });
    ASSERT_TRUE(gate.waitEntered(1));
    // The handler still blocks; files and other connections go on.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(StatusAndType("/style.css"), "200 text/css");
    EXPECT_EQ(gate.inside, 1);
    gate.release();
    waiting.join();
    EXPECT_EQ(slow, "late");
}

TEST_F(HostApi, AThrowingHandlerGets500AndALine) {
    Start();
    server->on("GET", "/broken", [](const velko::Request&) -> velko::Answer { throw std::runtime_error("out of order"); });
    server->on("GET", "/badfield", [](const velko::Request&) {
        velko::Answer answer = velko::Answer::text("x");
        answer.headers.push_back({"Bad Name", "v"});
        return answer;
    });
    server->on("GET", "/framing", [](const velko::Request&) {
        velko::Answer answer = velko::Answer::text("four");
        answer.headers.push_back({"Content-Length", "99"});
        answer.headers.push_back({"Connection", "close"});
        answer.headers.push_back({"X-Kept", "yes"});
        return answer;
    });
    testing::internal::CaptureStderr();
    const std::string broken = StatusAndType("/broken");
    const std::string bad = StatusAndType("/badfield");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(broken.substr(0, 3), "500");
    EXPECT_EQ(bad.substr(0, 3), "500");
    EXPECT_NE(errors.find("handler for /broken failed: out of order"), std::string::npos) << errors;
    EXPECT_NE(errors.find("handler for /badfield failed: answer header"), std::string::npos) << errors;
    // The server's own framing: the handler's length and connection fields
    // never reach the client.
    const auto framing = Curl("-i " + Quoted(base + "/framing"));
    EXPECT_NE(framing.output.find("Content-Length: 4\r\n"), std::string::npos) << framing.output;
    EXPECT_EQ(framing.output.find("99"), std::string::npos) << framing.output;
    EXPECT_EQ(framing.output.find("Connection: close"), std::string::npos) << framing.output;
    EXPECT_NE(framing.output.find("X-Kept: yes\r\n"), std::string::npos) << framing.output;
}

TEST_F(HostApi, AHundredCallsAtOnceRunAtMostEightAtATime) {
    options.handlerConcurrency = 8;
    Start();
    std::mutex lock;
    int inside = 0;
    int peak = 0;
    std::atomic<int> calls{0};
    server->on("GET", "/work/*", [&](const velko::Request& request) {
        {
            std::lock_guard<std::mutex> guard(lock);
            peak = std::max(peak, ++inside);
        }
        ++calls;
        std::this_thread::sleep_for(40ms);
        {
            std::lock_guard<std::mutex> guard(lock);
            --inside;
        }
        return velko::Answer::text(request.path + "\n");
    });
    std::string urls;
    for (int i = 0; i < 100; ++i) urls += " " + Quoted(base + "/work/" + std::to_string(i));
    const auto all = Curl("--parallel --parallel-max 100" + urls);
    EXPECT_EQ(all.status, 0) << all.output;
    EXPECT_EQ(calls.load(), 100);
    for (int i = 0; i < 100; ++i) {
        EXPECT_NE(all.output.find("/work/" + std::to_string(i) + "\n"), std::string::npos) << i;
    }
    EXPECT_LE(peak, 8);
    // Concurrent at all: more than one ran at a time.
    EXPECT_GT(peak, 1);
}

TEST_F(HostApi, StoredValuesAreServedExpandedAndKeptInTheStoreFile) {
    options.storeFile = dir.file("values.xml");
    Start();
    EXPECT_FALSE(server->hasValue("motd"));
    server->setValue("motd", "Hello & <welcome>");
    server->setValue("name", "world");
    EXPECT_EQ(server->value("motd"), "Hello & <welcome>");
    EXPECT_EQ(server->value("none", "fallback"), "fallback");
    EXPECT_EQ(Body("/motd"), "Hello & <welcome>");
    EXPECT_EQ(server->expand("Hi [[name]], [[motd]][[none]]!"), "Hi world, Hello & <welcome>!");
    // A command changes a value; the next request sees it.
    server->onCommand("set", [this](const velko::Request& request) {
        server->setValue(request.formValue("name"), request.formValue("value"));
        return velko::Answer::text("set");
    });
    EXPECT_EQ(Body("/", "-d velkoid=set -d name=name -d value=there"), "set");
    EXPECT_EQ(Body("/name"), "there");

    server.reset();  // writes the store file
    const std::string saved = host_shell::ReadFile(options.storeFile);
    EXPECT_NE(saved.find("<option name=\"motd\" value=\"Hello &amp; &lt;welcome&gt;\" />"), std::string::npos) << saved;
    Start();
    EXPECT_EQ(server->value("name"), "there");
    EXPECT_EQ(Body("/motd"), "Hello & <welcome>");
}

TEST_F(HostApi, DestroyedWithRequestsInFlight) {
    Start();
    Gate gate;
    std::atomic<int> finished{0};
    server->on("GET", "/hold", [&](const velko::Request&) {
        gate.enter();
        ++finished;
        return velko::Answer::text("held");
    });
    // Twelve clients: some handlers run, the rest wait their turn.
    std::string urls;
    for (int i = 0; i < 12; ++i) urls += " " + Quoted(base + "/hold");
    std::thread clients([&] { Curl("--parallel --parallel-max 12" + urls); });
    ASSERT_TRUE(gate.waitEntered(8));
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);
        gate.release();
    });
    const auto before = std::chrono::steady_clock::now();
    server.reset();
    const auto took = std::chrono::steady_clock::now() - before;
    opener.join();
    clients.join();
    // The running handlers finished; the waiting ones were dropped.
    EXPECT_EQ(finished.load(), 8);
    EXPECT_LT(took, 20s);
}

TEST_F(HostApi, AccessLogGoesWhereItIsTold) {
    std::mutex lock;
    std::vector<std::string> lines;
    options.accessLog = velko::AccessLog::toCallback([&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
    });
    testing::internal::CaptureStdout();
    Start();
    Body("/style.css");
    server.reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout().find("GET /style.css"), std::string::npos);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" - HTTPS - ["), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"GET /style.css\" --> 200 "), std::string::npos) << lines[0];

    options.accessLog = velko::AccessLog::toFile(dir.file("access.log"));
    Start();
    Body("/");
    Body("/missing");
    server.reset();
    const std::string log = host_shell::ReadFile(dir.file("access.log"));
    EXPECT_NE(log.find("\"GET /\" --> 200 "), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /missing\" --> 404 "), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);

    options.accessLog = velko::AccessLog::toFile(dir.file("no/such/dir/access.log"));
    EXPECT_THROW(velko::Server failing(options), KoException);
}

TEST_F(HostApi, StartErrorsCarryTheLibrarysMessages) {
    options.key = dir.file("none.pem");
    testing::internal::CaptureStderr();
    try {
        velko::Server failing(options);
        ADD_FAILURE() << "started without a key";
    } catch (const KoException_SSL& error) {
        EXPECT_EQ(std::string(error.what()), "(SSL) problem with SSL key pair: cannot read the private key file " +
                                                 options.key + ": No such file or directory");
    }
    testing::internal::GetCapturedStderr();
    options.key.clear();
    try {
        velko::Server failing(options);
        ADD_FAILURE() << "started with an empty key name";
    } catch (const KoException_SSL& error) {
        EXPECT_STREQ(error.what(), "(SSL) can't find ca certificate and/or private key");
    }
    options.key = dir.file("privkey.pem");
    Start();
    options.port = server->port();
    testing::internal::CaptureStderr();
    try {
        velko::Server second(options);
        ADD_FAILURE() << "bound a port that is taken";
    } catch (const KoException& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Could not bind 127.0.0.1 port " + std::to_string(options.port) + ": Address already in use");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_THROW(server->on("GET", "relative", [](const velko::Request&) { return velko::Answer(); }), KoException);
}

// A new user's mistakes were told badly or not at all: every TLS failure
// was the same "problem with SSL key pair"; an encrypted key made the
// server ask for a pass phrase on the terminal and wait; port 70000 waited
// the whole listen wait and then blamed the wait; a document root that is
// not there started a server that answered 404 to everything.
TEST_F(HostApi, StartMistakesSayWhatIsWrongAtOnce) {
    const std::string encrypted = dir.file("encrypted.pem");
    ASSERT_EQ(Directory::Run("openssl pkey -in " + Quoted(options.key) + " -aes256 -passout pass:opensesame -out " +
                             Quoted(encrypted)),
              0);
    const auto failure = [](velko::ServerOptions tried) {
        testing::internal::CaptureStderr();
        std::string what = "started";
        try {
            velko::Server failing(tried);
        } catch (const KoException& error) {
            what = error.what();
        }
        testing::internal::GetCapturedStderr();
        return what;
    };
    struct Row {
        const char* mistake;
        std::function<void(velko::ServerOptions&)> make;
        std::string message;
    };
    const std::string keyPair = "(SSL) problem with SSL key pair: ";
    const Row rows[] = {
        {"encrypted key", [&](velko::ServerOptions& o) { o.key = encrypted; },
         keyPair + "the private key in " + encrypted + " is encrypted and no pass phrase was given"},
        {"wrong pass phrase", [&](velko::ServerOptions& o) { o.key = encrypted; o.keyPassphrase = "guess"; },
         keyPair + "the pass phrase does not decrypt the private key in " + encrypted},
        {"swapped files", [](velko::ServerOptions& o) { std::swap(o.certificate, o.key); },
         keyPair + "the certificate and key files are swapped: " + dir.file("privkey.pem") +
             " holds a private key, " + dir.file("cacert.pem") + " a certificate"},
        {"port out of range", [](velko::ServerOptions& o) { o.port = 70000; }, "port out of range: 70000 (0 to 65535)"},
        {"no document root", [&](velko::ServerOptions& o) { o.documentRoot = dir.file("no-such-site"); },
         "the document root " + dir.file("no-such-site") + " does not exist (No such file or directory)"},
        {"a file as document root", [&](velko::ServerOptions& o) { o.documentRoot = dir.file("cacert.pem"); },
         "the document root " + dir.file("cacert.pem") + " is not a directory"},
    };
    for (const auto& row : rows) {
        velko::ServerOptions tried = options;
        row.make(tried);
        EXPECT_EQ(failure(tried), row.message) << row.mistake;
    }
    // The pass phrase opens the key.
    options.key = encrypted;
    options.keyPassphrase = "opensesame";
    Start();
    EXPECT_EQ(StatusAndType("/style.css"), "200 text/css");
}

TEST_F(HostApi, PlainHttpAndFileAnswers) {
    options.https = false;
    Start();
    const std::string http = "http://127.0.0.1:" + std::to_string(server->port());
    const std::string css = dir.file("htmlroot/style.css");
    server->on("GET", "/download", [css](const velko::Request&) { return velko::Answer::sendFile(css); });
    server->on("GET", "/gone", [this](const velko::Request&) { return velko::Answer::sendFile(dir.file("gone")); });
    const auto sent = Directory::Capture("curl -sS --max-time 30 -D - " + Quoted(http + "/download"));
    EXPECT_NE(sent.output.find("Content-Type: text/css\r\n"), std::string::npos) << sent.output;
    EXPECT_NE(sent.output.find(host_shell::ReadFile(css)), std::string::npos);
    const auto gone =
        Directory::Capture("curl -sS --max-time 30 -o /dev/null -w '%{http_code}' " + Quoted(http + "/gone"));
    EXPECT_EQ(gone.output, "404");
}

}  // namespace
