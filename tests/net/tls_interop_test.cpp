// Real TLS clients (openssl s_client, curl) against a small server loop over
// KoTlsSession on 127.0.0.1.
#include "net/tls_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket_ipvx.h"
#include "platform/poller.h"
#include "tls_fixtures.h"

using namespace std::chrono_literals;

namespace {

// Serves connections one after another until stopped: each gets the answer
// that respond() gives for its input so far ("" to wait for more), then
// close-notify.
class LoopServer {
public:
    using Respond = std::function<std::string(const std::string& input)>;

    LoopServer(const KoTlsContext& context, Respond respond) : context_(context), respond_(std::move(respond)) {
        listener_.Listen("127.0.0.1", port_, 16);
        thread_ = std::thread([this] { run(); });
    }
    ~LoopServer() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<std::string> failures() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failures_;
    }

private:
    void run() {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            KoSocketIPvx connection;
            if (listener_.Accept(connection, 50, [](KoHostInfo_t&) { return true; }) < 0) continue;
            serve(connection.fd());
        }
    }

    void serve(int fd) {
        KoTlsSession session(context_, fd);
        tls_test::Plain plain;
        bool answered = false;
        bool closing = false;
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            unsigned interest = platform::readable;
            if (session.wantsWrite() || plain.outputPending()) interest |= platform::writable;
            const auto ready = platform::waitDescriptor(fd, interest, 20);
            if (!ready.ok()) break;
            KoTlsStepResult result;
            if (ready.value() & platform::writable) result = session.sendStep(plain);
            if (result.progress != KoTlsProgress::failed &&
                (ready.value() & (platform::readable | platform::hangup | platform::failed))) {
                result = session.receiveStep(plain);
            }
            if (result.progress == KoTlsProgress::failed) {
                std::lock_guard<std::mutex> lock(mutex_);
                failures_.push_back(session.failureReason());
                return;
            }
            if (result.progress == KoTlsProgress::closed) return;
            if (!answered && session.handshakeDone()) {
                const std::string answer = respond_(plain.input());
                if (!answer.empty()) {
                    plain.queue(answer);
                    answered = true;
                }
            }
            if (answered && !closing && !plain.outputPending()) {
                session.shutdown();
                closing = true;  // read on until the client goes, so no reset loses bytes
            }
        }
    }

    const KoTlsContext& context_;
    Respond respond_;
    KoSocketIPvx listener_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> failures_;
    std::thread thread_;
};

std::string pingPong(const std::string& input) { return input.find("ping\n") != std::string::npos ? "pong\n" : ""; }

std::size_t count(const std::string& text, const std::string& word) {
    std::size_t n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) ++n;
    return n;
}

}  // namespace

TEST(KoTlsSessionInterop, OpensslClientOverTls13) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext context(p.chainCertificate, p.leafKey);
    LoopServer server(context, pingPong);
    const auto run = tls_test::run("openssl",
                                   {"s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()), "-tls1_3",
                                    "-CAfile", p.caCertificate, "-verify_return_error", "-servername", "localhost",
                                    "-quiet"},
                                   "ping\n");
    EXPECT_NE(run.output.find("pong"), std::string::npos) << run.output;
    EXPECT_TRUE(server.failures().empty());
}

TEST(KoTlsSessionInterop, OpensslClientOverTls12SeesTheChain) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext context(p.chainCertificate, p.leafKey);
    LoopServer server(context, pingPong);
    const auto run = tls_test::run("openssl",
                                   {"s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()), "-tls1_2",
                                    "-CAfile", p.caCertificate, "-verify_return_error", "-showcerts", "-ign_eof"},
                                   "ping\n");
    EXPECT_NE(run.output.find("pong"), std::string::npos) << run.output;
    EXPECT_EQ(count(run.output, "-----BEGIN CERTIFICATE-----"), 2u) << run.output;
    EXPECT_NE(run.output.find("Verify return code: 0 (ok)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("TLSv1.2"), std::string::npos);
}

TEST(KoTlsSessionInterop, OlderProtocolsAreRefused) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext context(p.selfCertificate, p.selfKey);
    LoopServer server(context, pingPong);
    // The client is allowed TLS 1.1 only; the server must not agree.
    const auto run = tls_test::run("openssl",
                                   {"s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()), "-tls1_1",
                                    "-cipher", "DEFAULT:@SECLEVEL=0", "-quiet"},
                                   "ping\n");
    EXPECT_EQ(run.output.find("pong"), std::string::npos) << run.output;
    EXPECT_FALSE(run.ok);
}

TEST(KoTlsSessionInterop, CurlFetchesOverHttps) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext context(p.chainCertificate, p.leafKey);
    LoopServer server(context, [](const std::string& input) -> std::string {
        if (input.find("\r\n\r\n") == std::string::npos) return "";
        return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 14\r\nConnection: close\r\n\r\n"
               "hello over tls";
    });
    const auto run = tls_test::run("curl", {"-sS", "--max-time", "20", "--cacert", p.caCertificate,
                                            "https://127.0.0.1:" + std::to_string(server.port()) + "/hello"});
    EXPECT_TRUE(run.ok) << run.exitCode << " " << run.output;
    EXPECT_EQ(run.output, "hello over tls");
    EXPECT_TRUE(server.failures().empty());
}
