// Outgoing exchanges over real loopback connections: a Python HTTP server
// started by the test, a TLS responder built on the TLS session, a server
// that never answers, and a port where nobody listens.
#include "server/hooks/url_hook_factories.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../net/tls_fixtures.h"
#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/transceiver.h"
#include "message/transceiver_client.h"
#include "message/x_header.h"
#include "net/socket_ipvx.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "server/hooks/url_hook_worker.h"

using namespace std::chrono_literals;

namespace {

// Answers GET with "got <path>", POST with the content type and the body;
// /slow waits and reports how many requests it was serving at once.
constexpr const char* kPeerScript = R"PY(
import http.server, sys, threading, time
lock = threading.Lock()
active = [0]
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        if self.path.startswith("/slow"):
            with lock:
                active[0] += 1
                now = active[0]
            time.sleep(0.3)
            with lock:
                active[0] -= 1
            self.answer(("slow %d" % now).encode())
        else:
            self.answer(("got " + self.path).encode())
    def do_POST(self):
        n = int(self.headers.get("Content-Length", "0"))
        data = self.rfile.read(n)
        self.answer(b"posted " + self.headers.get("Content-Type", "").encode() + b" " + data)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), H).serve_forever()
)PY";

int FreePort() {
    KoSocketIPvx probe;
    int port = 0;
    EXPECT_EQ(probe.Listen("127.0.0.1", port, 1), KoSocketIPvx::statusOk);
    return port;
}

bool WaitUntilListening(int port) {
    for (int i = 0; i < 800; ++i) {  // a loaded machine starts Python slowly
        KoSocketIPvx probe;
        if (probe.Connect("127.0.0.1", port) == KoSocketIPvx::statusOk) return true;
        std::this_thread::sleep_for(25ms);
    }
    return false;
}

// A Python server on loopback, killed when the test ends.
struct PythonPeer {
    std::optional<platform::ChildProcess> child;
    std::string directory;
    int port = 0;

    // script empty: the standard library's file server over directory.
    bool Start(bool stock) {
        auto made = platform::makeTemporaryDirectory("velko-hook-");
        if (!made.ok()) return false;
        directory = made.value();
        tls_test::writeFile(directory + "/hello.txt", "hello from a file\n");
        tls_test::writeFile(directory + "/peer.py", kPeerScript);
        port = FreePort();
        platform::ChildOptions options;
        options.program = "python3";
        options.environment = platform::currentEnvironment();
        if (stock) {
            options.arguments = {"-m", "http.server", std::to_string(port), "--bind", "127.0.0.1", "--directory",
                                 directory};
        } else {
            options.arguments = {directory + "/peer.py", std::to_string(port)};
        }
        auto started = platform::ChildProcess::start(options);
        if (!started.ok()) return false;
        child.emplace(std::move(started.value()));
        child->closeInput();
        return WaitUntilListening(port);
    }
    ~PythonPeer() {
        if (child) {
            child->kill();
            child->wait(5000);
        }
        if (!directory.empty()) platform::removeTree(directory);
    }
};

// Serves one request per connection over TLS: "secure <target> <body>",
// announcing the close so that no client reuses the connection.
class TlsResponder {
public:
    TlsResponder(const std::string& certificate, const std::string& key) : context(certificate, key) {
        EXPECT_EQ(listener.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
        thread = std::thread([this] { Loop(); });
    }
    ~TlsResponder() {
        running = false;
        thread.join();
    }
    std::string Authority() const { return "https://127.0.0.1:" + std::to_string(port); }

    int port = 0;
    std::atomic<int> handshakesFailed{0};

private:
    static bool RequestComplete(const std::string& in) {
        const auto end = in.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        std::size_t length = 0;
        const auto at = in.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = std::stoul(in.substr(at + 16));
        return in.size() >= end + 4 + length;
    }

    void Loop() {
        while (running) {
            KoSocketIPvx connection;
            if (listener.Accept(connection, 50, [](KoHostInfo_t&) { return true; }) < 0) continue;
            const int fd = connection.fd() >= 0 ? connection.fd() : connection.fd4();
            KoTlsSession session(context, fd);
            tls_test::Plain plain;
            std::vector<tls_test::Side> sides{{session, plain, fd}};
            tls_test::drive(
                sides, [&] { return session.failed() || session.closed() || RequestComplete(plain.input()); }, 5s);
            if (!RequestComplete(plain.input())) {
                ++handshakesFailed;
                continue;
            }
            const std::string in = plain.input();
            const auto lineEnd = in.find("\r\n");
            const auto first = in.substr(0, lineEnd);
            const auto target = first.substr(first.find(' ') + 1, first.rfind(' ') - first.find(' ') - 1);
            const std::string body = "secure " + target + " " + in.substr(in.find("\r\n\r\n") + 4);
            plain.queue("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            tls_test::drive(sides, [&] { return session.failed() || !plain.outputPending(); }, 5s);
        }
    }

    KoTlsContext context;
    KoSocketIPvx listener;
    std::atomic<bool> running{true};
    std::thread thread;
};

// A client that records the answers it is given.
class AnswerClient : public KoTransceiverClient {
public:
    AnswerClient() : KoTransceiverClient(nullptr, {}, nullptr) {}
    ~AnswerClient() override { withdraw(); }

    bool ReceiveHTTPAnswer(const std::string& source, std::shared_ptr<KoXHeader> answer) override {
        std::lock_guard<std::mutex> lock(lock_);
        answers[source] = answer;
        arrived.notify_all();
        return true;
    }
    std::shared_ptr<KoXHeader> WaitFor(const std::string& source, std::chrono::milliseconds limit = 20s) {
        std::unique_lock<std::mutex> lock(lock_);
        arrived.wait_for(lock, limit, [&] { return answers.count(source) != 0; });
        auto it = answers.find(source);
        return it == answers.end() ? nullptr : it->second;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(lock_);
        return answers.size();
    }

private:
    std::mutex lock_;
    std::condition_variable arrived;
    std::map<std::string, std::shared_ptr<KoXHeader>> answers;
};

KoURLHookSettings Fast() {
    KoURLHookSettings settings;
    settings.connectTimeout = 2000ms;
    settings.handshakeTimeout = 3000ms;
    settings.answerTimeout = 5000ms;
    settings.watchInterval = 20ms;
    settings.teardownPoll = 10ms;
    return settings;
}

std::shared_ptr<KoXHeader> Request(std::int32_t method, std::int32_t code, int port, const std::string& path) {
    auto request = std::make_shared<KoXHeader>(method, false, code);
    request->messageKind = message_kind::Request;
    request->host = "127.0.0.1";
    request->port = port;
    request->path = path;
    return request;
}

struct ExchangeFixture : ::testing::Test {
    KoKessaScheduler2 scheduler;
    std::unique_ptr<KoTransceiver> transceiver = std::make_unique<KoTransceiver>(scheduler);
    std::shared_ptr<AnswerClient> client = std::shared_ptr<AnswerClient>(new AnswerClient(), KoJobDeleter());

    void Install(const KoURLHookSettings& settings) {
        ASSERT_TRUE(transceiver->AddClient(client));
        std::weak_ptr<KoTransceiverClient> weak = client;
        KoInstallURLHookFactories(*transceiver, settings,
                                  [weak](const std::string&) { return url_hook::ClientAnswerSink(weak); });
    }
    void TearDown() override { transceiver.reset(); }

    std::shared_ptr<KoXHeader> Send(std::shared_ptr<KoXHeader> request, bool priority = false) {
        std::string name;
        client->AddRoute(name, request, priority);
        EXPECT_EQ(name, request->name);
        return client->WaitFor(request->name);
    }
};

TEST_F(ExchangeFixture, GetFromTheStandardFileServer) {
    PythonPeer peer;
    ASSERT_TRUE(peer.Start(true));
    Install(Fast());
    auto answer = Send(Request(method_code::GET, protocol::HTTP, peer.port, "/hello.txt"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200);
    EXPECT_EQ(answer->Body(), "hello from a file\n");
    // The file server closes after each answer; the next request gets a new
    // connection.
    auto again = Send(Request(method_code::GET, protocol::HTTP, peer.port, "/hello.txt"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->statusCode, 200);
    auto missing = Send(Request(method_code::GET, protocol::HTTP, peer.port, "/missing"));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->statusCode, 404);
}

TEST_F(ExchangeFixture, GetAndPostOverOneKeptConnection) {
    PythonPeer peer;
    ASSERT_TRUE(peer.Start(false));
    Install(Fast());
    auto get = Request(method_code::GET, protocol::HTTP, peer.port, "/a");
    get->query = "x=1";
    auto answer = Send(get);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200);
    EXPECT_EQ(answer->Body(), "got /a?x=1");

    auto post = Request(method_code::POST, protocol::HTTP, peer.port, "/form");
    auto& field = post->AddBlock();
    field.attributes["name"] = "greeting";
    field.content = std::make_unique<KoStringBuf>();
    field.content->sputn("hi there", 8);
    answer = Send(post);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200);
    const std::string body = answer->Body();
    EXPECT_EQ(body.rfind("posted multipart/form-data; boundary=" + post->boundary, 0), 0u) << body;
    EXPECT_NE(body.find("name=\"greeting\"\r\n\r\nhi there\r\n"), std::string::npos) << body;
    EXPECT_EQ(transceiver->ConnectionCount(), 1u) << "the keep-alive connection was reused";
}

TEST_F(ExchangeFixture, ElevenSlowRequestsNeverUseMoreThanTenConnections) {
    PythonPeer peer;
    ASSERT_TRUE(peer.Start(false));
    Install(Fast());
    std::vector<std::shared_ptr<KoXHeader>> requests;
    for (int i = 0; i < 11; ++i) {
        requests.push_back(Request(method_code::GET, protocol::HTTP, peer.port, "/slow"));
        std::string name;
        client->AddRoute(name, requests.back(), false);
    }
    int most = 0;
    for (auto& request : requests) {
        auto answer = client->WaitFor(request->name);
        ASSERT_NE(answer, nullptr);
        ASSERT_EQ(answer->statusCode, 200);
        most = std::max(most, std::stoi(answer->Body().substr(5)));
    }
    EXPECT_LE(most, 10);
    EXPECT_GE(most, 2) << "the requests ran in parallel";
}

TEST_F(ExchangeFixture, SilentServerEndsTheExchangeWithAnError) {
    KoSocketIPvx silent;  // listens, never accepts, never answers
    int port = 0;
    ASSERT_EQ(silent.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    auto settings = Fast();
    settings.answerTimeout = 300ms;
    Install(settings);
    const auto began = std::chrono::steady_clock::now();
    auto answer = Send(Request(method_code::GET, protocol::HTTP, port, "/"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 504);
    EXPECT_NE(answer->Body().find("no answer"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

TEST_F(ExchangeFixture, ConnectionRefusedIsAnErrorAnswer) {
    const int port = FreePort();  // closed again: nobody listens
    Install(Fast());
    auto answer = Send(Request(method_code::GET, protocol::HTTP, port, "/"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 502);
    EXPECT_NE(answer->Body().find("could not connect"), std::string::npos) << answer->Body();
}

TEST_F(ExchangeFixture, WorkerWhoseConnectFailsLeavesTheRequestWithTheCaller) {
    const int port = FreePort();
    auto request = Request(method_code::GET, protocol::HTTP, port, "/");
    auto service = std::shared_ptr<KoURLHookService>(
        new KoURLHookService(scheduler, *transceiver, client->name, "svc", client->name, nullptr,
                             KoURLHookWorkerFactoryFor(Fast(), nullptr, nullptr), nullptr, Fast()),
        KoJobDeleter());
    service->attach(*transceiver);
    bool started = false;
    EXPECT_EQ(service->dispatch(request, started, false), request);
    EXPECT_TRUE(started);
    EXPECT_EQ(service->WorkerCount(), 0u);
}

TEST_F(ExchangeFixture, HttpsWithAVerifiedCertificate) {
    const auto& pki = tls_test::pki();
    ASSERT_TRUE(pki.ok);
    TlsResponder responder(pki.chainCertificate, pki.leafKey);
    auto settings = Fast();
    settings.caFile = pki.caCertificate;
    Install(settings);
    auto answer = Send(Request(method_code::GET, protocol::HTTPS, responder.port, "/secret"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200) << answer->Body();
    EXPECT_EQ(answer->Body(), "secure /secret ");

    auto post = Request(method_code::POST, protocol::HTTPS, responder.port, "/up");
    post->boundary = "b0";
    post->Input().sputn("--b0--\r\n", 8);
    answer = Send(post);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200) << answer->Body();
    EXPECT_EQ(answer->Body(), "secure /up --b0--\r\n");
}

TEST_F(ExchangeFixture, SelfSignedServerIsRefusedByDefault) {
    const auto& pki = tls_test::pki();
    ASSERT_TRUE(pki.ok);
    TlsResponder responder(pki.selfCertificate, pki.selfKey);
    Install(Fast());
    auto answer = Send(Request(method_code::GET, protocol::HTTPS, responder.port, "/"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 502);
    EXPECT_NE(answer->Body().find("certificate verify failed"), std::string::npos) << answer->Body();
}

TEST_F(ExchangeFixture, SelfSignedServerIsAcceptedWhenItsAuthorityIsAllowed) {
    const auto& pki = tls_test::pki();
    ASSERT_TRUE(pki.ok);
    TlsResponder responder(pki.selfCertificate, pki.selfKey);
    auto settings = Fast();
    settings.unverifiedAuthorities.insert(responder.Authority());
    Install(settings);
    auto answer = Send(Request(method_code::GET, protocol::HTTPS, responder.port, "/dev"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200) << answer->Body();
    EXPECT_EQ(answer->Body(), "secure /dev ");
}

TEST_F(ExchangeFixture, SilentTlsServerFailsTheHandshakeInTime) {
    KoSocketIPvx silent;
    int port = 0;
    ASSERT_EQ(silent.Listen("127.0.0.1", port, 16), KoSocketIPvx::statusOk);
    auto settings = Fast();
    settings.handshakeTimeout = 300ms;
    Install(settings);
    const auto began = std::chrono::steady_clock::now();
    auto answer = Send(Request(method_code::GET, protocol::HTTPS, port, "/"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 502);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
}

}  // namespace

// Workers were never registered with the transceiver, so housekeeping never
// expired them: an idle kept connection to a remote server stayed for good.
TEST_F(ExchangeFixture, AWorkerIdlePastItsTimeOutIsExpiredAndItsConnectionClosed) {
    PythonPeer peer;
    ASSERT_TRUE(peer.Start(false));
    KoURLHookSettings settings = Fast();
    settings.workerIdleTimeout = 300ms;
    transceiver = std::make_unique<KoTransceiver>(scheduler, [] {
        KoTransceiverSettings engine;
        engine.housekeepingInterval = 50ms;
        return engine;
    }());
    Install(settings);
    auto answer = Send(Request(method_code::GET, protocol::HTTP, peer.port, "/a"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode, 200);
    EXPECT_EQ(transceiver->ConnectionCount(), 1u);
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (transceiver->ConnectionCount() != 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(transceiver->ConnectionCount(), 0u);
    // A new request after it still gets its answer, from a new worker.
    auto again = Send(Request(method_code::GET, protocol::HTTP, peer.port, "/b"));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->Body(), "got /b");
}
