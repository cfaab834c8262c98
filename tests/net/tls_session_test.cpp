#include "net/tls_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "foundation/exception.h"
#include "net/socket_ipvx.h"
#include "platform/poller.h"
#include "platform/socket.h"
#include "tls_fixtures.h"

using namespace std::chrono_literals;
using tls_test::Plain;
using tls_test::Side;

namespace {

struct Pair {
    std::unique_ptr<tls_test::Link> link = tls_test::makeLink();
    KoTlsContext serverContext;
    KoTlsContext clientContext;
    KoTlsSettings settings;
    std::unique_ptr<KoTlsSession> server;
    std::unique_ptr<KoTlsSession> client;
    Plain serverPlain;
    Plain clientPlain;

    explicit Pair(KoTlsSettings s = {}, const std::string& certificate = tls_test::pki().selfCertificate,
                  const std::string& key = tls_test::pki().selfKey, const std::string& trusted = "none")
        : serverContext(certificate, key), settings(s) {
        if (trusted != "none") clientContext.verifyPeers(trusted);
        server = std::make_unique<KoTlsSession>(serverContext, link->server.fd(), settings);
        client = std::make_unique<KoTlsSession>(clientContext, link->client->fd(), settings);
    }
    // Drives both until each has finished or failed its handshake.
    void settle() {
        tls_test::drive(sides(), [&] {
            return (server->handshakeDone() || server->failed()) && (client->handshakeDone() || client->failed());
        });
    }
    std::vector<Side> sides() {
        return {{*server, serverPlain, link->server.fd()}, {*client, clientPlain, link->client->fd()}};
    }
    bool handshake() {
        return tls_test::drive(sides(), [&] { return server->handshakeDone() && client->handshakeDone(); });
    }
};

std::string pattern(std::size_t size, std::uint32_t seed = 12345) {
    std::string bytes(size, '\0');
    std::uint32_t state = seed;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

// Steps one session until stop() holds, waiting for the readiness it asks for.
// stalled() hears of each wait in which output was pending and the socket
// would not take it.
void pumpAlone(KoTlsSession& session, Plain& plain, int fd, const std::function<bool()>& stop,
               const std::function<void(const KoTlsStepResult&)>& seen = {},
               const std::function<void()>& stalled = {}) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!stop() && std::chrono::steady_clock::now() < end) {
        unsigned interest = platform::readable;
        if (session.wantsWrite() || plain.outputPending()) interest |= platform::writable;
        const auto ready = platform::waitDescriptor(fd, interest, 20);
        if (!ready.ok()) return;
        if ((interest & platform::writable) && !(ready.value() & platform::writable) && stalled) stalled();
        if (ready.value() & platform::writable) {
            const auto result = session.sendStep(plain);
            if (seen) seen(result);
            if (result.progress == KoTlsProgress::failed) return;
        }
        if (ready.value() & (platform::readable | platform::hangup | platform::failed)) {
            const auto result = session.receiveStep(plain);
            if (result.progress == KoTlsProgress::failed || result.progress == KoTlsProgress::closed) return;
        }
    }
}

}  // namespace

TEST(KoTlsSession, HandshakeThenDataBothWays) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    EXPECT_EQ(pair.server->descriptor(), -1);
    ASSERT_TRUE(pair.handshake()) << pair.server->failureReason() << " / " << pair.client->failureReason();
    EXPECT_TRUE(pair.server->serverRole());
    EXPECT_FALSE(pair.client->serverRole());
    EXPECT_EQ(pair.server->descriptor(), pair.link->server.fd());
    EXPECT_EQ(pair.client->descriptor(), pair.link->client->fd());

    pair.clientPlain.queue("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    pair.serverPlain.queue("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
    ASSERT_TRUE(tls_test::drive(pair.sides(), [&] {
        return pair.serverPlain.inputSize() == 35 && pair.clientPlain.inputSize() == 40;
    }));
    EXPECT_EQ(pair.serverPlain.input(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_EQ(pair.clientPlain.input(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
    EXPECT_FALSE(pair.server->failed());
    EXPECT_FALSE(pair.client->failed());
}

TEST(KoTlsSession, NothingToSendIsDone) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());
    const auto result = pair.server->sendStep(pair.serverPlain);
    EXPECT_EQ(result.progress, KoTlsProgress::done);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(result.receiveCode(), 1);
}

TEST(KoTlsSession, LargeTransferArrivesIntactInChunks) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());
    std::string expected = pattern(8u << 20);
    pair.serverPlain.queue(expected);

    // The reader waits until the sender's socket is full (a write stopped
    // short, or the socket would not take more); loopback buffers can take
    // the first 8 MiB whole, so the sender adds more until that happens.
    std::atomic<bool> serverBlocked{false};
    std::atomic<bool> senderDone{false};
    std::atomic<std::size_t> queued{expected.size()};
    std::atomic<int> mostCalls{0};
    std::thread sender([&] {
        std::uint32_t seed = 1;
        for (;;) {
            pumpAlone(*pair.server, pair.serverPlain, pair.link->server.fd(),
                      [&] { return !pair.serverPlain.outputPending(); },
                      [&](const KoTlsStepResult& result) {
                          if (result.progress == KoTlsProgress::wantWrite) serverBlocked = true;
                          if (result.calls > mostCalls) mostCalls = result.calls;
                      },
                      [&] { serverBlocked = true; });
            if (serverBlocked || queued >= (64u << 20) || pair.server->failed()) break;
            const std::string more = pattern(1u << 20, ++seed);
            expected += more;
            queued += more.size();
            pair.serverPlain.queue(more);
        }
        senderDone = true;
    });
    for (int i = 0; i < 5000 && !serverBlocked && !senderDone; ++i) std::this_thread::sleep_for(2ms);
    pumpAlone(*pair.client, pair.clientPlain, pair.link->client->fd(),
              [&] { return senderDone && pair.clientPlain.inputSize() >= queued; });
    sender.join();

    EXPECT_TRUE(serverBlocked);
    ASSERT_EQ(pair.clientPlain.inputSize(), expected.size());
    EXPECT_TRUE(pair.clientPlain.input() == expected);
    EXPECT_LE(pair.clientPlain.maxInputChunk(), kTlsChunkSize);
    EXPECT_EQ(pair.serverPlain.maxOutputLimit(), kTlsChunkSize);
    EXPECT_LE(mostCalls.load(), kTlsCallsPerStep + 1);
}

TEST(KoTlsSession, ReadStopsAtTheCallBound) {
    ASSERT_TRUE(tls_test::pki().ok);
    KoTlsSettings settings;
    settings.callsPerStep = 2;
    Pair pair(settings);
    ASSERT_TRUE(pair.handshake());
    // Four full records wait in the reader's socket before it reads.
    const std::string payload = pattern(kTlsChunkSize * 4);
    pair.serverPlain.queue(payload);
    pumpAlone(*pair.server, pair.serverPlain, pair.link->server.fd(),
              [&] { return !pair.serverPlain.outputPending(); });
    ASSERT_FALSE(pair.serverPlain.outputPending());
    std::this_thread::sleep_for(20ms);

    const auto first = pair.client->receiveStep(pair.clientPlain);
    EXPECT_EQ(first.progress, KoTlsProgress::more);
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(first.bytes, 2 * kTlsChunkSize);
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (pair.clientPlain.inputSize() < payload.size() && std::chrono::steady_clock::now() < end) {
        platform::waitDescriptor(pair.link->client->fd(), platform::readable, 20);
        const auto result = pair.client->receiveStep(pair.clientPlain);
        ASSERT_NE(result.progress, KoTlsProgress::failed) << pair.client->failureReason();
        EXPECT_LE(result.calls, 2);
    }
    EXPECT_TRUE(pair.clientPlain.input() == payload);
}

TEST(KoTlsSession, SilentPeerWaitsToReadThenExpires) {
    ASSERT_TRUE(tls_test::pki().ok);
    auto link = tls_test::makeLink();
    KoTlsContext context(tls_test::pki().selfCertificate, tls_test::pki().selfKey);
    KoTlsSettings settings;
    settings.serverHandshakeTimeout = 150ms;
    KoTlsSession session(context, link->server.fd(), settings);
    Plain plain;

    // The client connected and says nothing: every step returns at once.
    EXPECT_EQ(session.handshakeStep().progress, KoTlsProgress::wantRead);
    EXPECT_EQ(session.receiveStep(plain).progress, KoTlsProgress::wantRead);
    EXPECT_EQ(session.sendStep(plain).progress, KoTlsProgress::wantRead);
    EXPECT_TRUE(session.wantsRead());
    EXPECT_FALSE(session.wantsWrite());
    EXPECT_FALSE(session.handshakeExpired());
    EXPECT_GT(session.handshakeDeadline(), std::chrono::steady_clock::now());

    std::this_thread::sleep_until(session.handshakeDeadline() + 10ms);
    EXPECT_TRUE(session.handshakeExpired());
    const auto result = session.receiveStep(plain);
    EXPECT_EQ(result.progress, KoTlsProgress::failed);
    EXPECT_EQ(result.receiveCode(), -1);
    EXPECT_TRUE(session.failed());
    EXPECT_EQ(session.failureReason(), "handshake timed out");
    EXPECT_FALSE(session.wantsRead());
    EXPECT_EQ(session.descriptor(), -1);
}

TEST(KoTlsSession, DefaultDeadlines) {
    const KoTlsSettings settings;
    EXPECT_EQ(settings.serverHandshakeTimeout, 10s);
    EXPECT_EQ(settings.clientHandshakeTimeout, 60s);
    EXPECT_EQ(settings.clientHandshakeWriteWait, 48s);
    EXPECT_EQ(kTlsChunkSize, 16384u);
    EXPECT_EQ(kTlsCallsPerStep, 100);
}

TEST(KoTlsSession, PlainTextPeerFailsTheHandshake) {
    ASSERT_TRUE(tls_test::pki().ok);
    auto link = tls_test::makeLink();
    KoTlsContext context(tls_test::pki().selfCertificate, tls_test::pki().selfKey);
    KoTlsSession session(context, link->server.fd());
    std::size_t sent = 0;
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
    link->client->Send(request.data(), request.size(), sent);
    ASSERT_EQ(sent, request.size());
    Plain plain;
    KoTlsStepResult result;
    for (int i = 0; i < 200; ++i) {
        platform::waitDescriptor(link->server.fd(), platform::readable, 20);
        result = session.receiveStep(plain);
        if (result.progress == KoTlsProgress::failed) break;
    }
    EXPECT_EQ(result.progress, KoTlsProgress::failed);
    EXPECT_NE(session.failureReason().find("SSL_accept"), std::string::npos) << session.failureReason();
    EXPECT_EQ(plain.inputSize(), 0u);
}

TEST(KoTlsSession, ClientConnectGivesUpAtTheDeadline) {
    auto link = tls_test::makeLink();
    KoTlsContext context;
    KoTlsSettings settings;
    settings.clientHandshakeTimeout = 200ms;
    KoTlsSession session(context, link->client->fd(), settings);
    try {
        session.connect();  // the server side never answers
        FAIL() << "connected to a silent peer";
    } catch (const KoException& error) {
        EXPECT_STREQ(error.what(), "Error getting SSL_connect");
    }
    EXPECT_TRUE(session.failed());
    EXPECT_EQ(session.descriptor(), -1);
}

TEST(KoTlsSession, ClientConnectToAPeerThatHangsUp) {
    auto link = tls_test::makeLink();
    KoTlsContext context;
    KoTlsSettings settings;
    settings.clientHandshakeTimeout = 10s;
    KoTlsSession session(context, link->client->fd(), settings);
    platform::shutdownSocket(link->server.fd());
    try {
        session.connect();
        FAIL() << "connected to a closed peer";
    } catch (const KoException& error) {
        EXPECT_EQ(std::string(error.what()).rfind("SSL handshake failed: ", 0), 0u) << error.what();
    }
}

TEST(KoTlsSession, ClientConnectCompletesAgainstAServer) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    std::thread server([&] {
        pumpAlone(*pair.server, pair.serverPlain, pair.link->server.fd(),
                  [&] { return pair.server->handshakeDone() && pair.serverPlain.inputSize() >= 4; });
    });
    pair.client->setServerName("localhost");
    EXPECT_NO_THROW(pair.client->connect());
    EXPECT_TRUE(pair.client->handshakeDone());
    pair.clientPlain.queue("ping");
    pumpAlone(*pair.client, pair.clientPlain, pair.link->client->fd(),
              [&] { return !pair.clientPlain.outputPending(); });
    server.join();
    EXPECT_EQ(pair.serverPlain.input(), "ping");
}

TEST(KoTlsSession, CloseNotifyEndsTheStreamCleanly) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());
    pair.serverPlain.queue("last words");
    ASSERT_TRUE(tls_test::drive(pair.sides(), [&] { return !pair.serverPlain.outputPending(); }));
    EXPECT_EQ(pair.server->shutdown().progress, KoTlsProgress::done);

    KoTlsStepResult result;
    for (int i = 0; i < 200 && result.progress != KoTlsProgress::closed; ++i) {
        platform::waitDescriptor(pair.link->client->fd(), platform::readable, 20);
        result = pair.client->receiveStep(pair.clientPlain);
    }
    EXPECT_EQ(result.progress, KoTlsProgress::closed);
    EXPECT_EQ(result.receiveCode(), 0);
    EXPECT_EQ(pair.clientPlain.input(), "last words");
    EXPECT_TRUE(pair.client->closed());
    EXPECT_TRUE(pair.client->cleanClose());
    EXPECT_FALSE(pair.client->wantsRead());
    // After close-notify nothing more goes out.
    pair.serverPlain.queue("more");
    EXPECT_EQ(pair.server->sendStep(pair.serverPlain).progress, KoTlsProgress::closed);
    EXPECT_TRUE(pair.serverPlain.outputPending());
}

TEST(KoTlsSession, PeerGoneWithoutCloseNotifyIsAnEnd) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());
    pair.client.reset();
    pair.link->client.reset();  // closes the socket without close-notify
    KoTlsStepResult result;
    for (int i = 0; i < 200 && result.progress != KoTlsProgress::closed; ++i) {
        platform::waitDescriptor(pair.link->server.fd(), platform::readable, 20);
        result = pair.server->receiveStep(pair.serverPlain);
        ASSERT_NE(result.progress, KoTlsProgress::failed) << pair.server->failureReason();
    }
    EXPECT_EQ(result.progress, KoTlsProgress::closed);
    EXPECT_FALSE(pair.server->cleanClose());
    // No close-notify after an unclean end; nothing is written.
    EXPECT_EQ(pair.server->shutdown().calls, 0);
}

// Writing to a vanished peer must fail the session, not kill the process
// with SIGPIPE or report the bytes as sent.
TEST(KoTlsSession, WriteToAVanishedPeerFails) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());
    pair.client.reset();
    pair.link->client.reset();
    pair.serverPlain.queue(pattern(4u << 20));
    KoTlsStepResult result;
    for (int i = 0; i < 500 && result.progress != KoTlsProgress::failed; ++i) {
        platform::waitDescriptor(pair.link->server.fd(), platform::writable, 20);
        result = pair.server->sendStep(pair.serverPlain);
    }
    EXPECT_EQ(result.progress, KoTlsProgress::failed);
    EXPECT_TRUE(pair.server->failed());
    EXPECT_NE(pair.server->failureReason().find("SSL_write"), std::string::npos) << pair.server->failureReason();
    EXPECT_TRUE(pair.serverPlain.outputPending());
}

// The receive and send steps of one session on two threads, as the
// transceiver's loops call them: an echo of 2 MiB.
TEST(KoTlsSession, StepsFromTwoThreads) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    ASSERT_TRUE(pair.handshake());

    class Echo : public KoTlsPlaintext {
    public:
        void tlsInput(const char* data, std::size_t length) override {
            std::lock_guard<std::mutex> lock(mutex);
            pending.append(data, length);
        }
        void tlsPendingOutput(std::string& out, std::size_t limit) override {
            std::lock_guard<std::mutex> lock(mutex);
            out.append(pending, 0, std::min(limit, pending.size()));
        }
        void tlsOutputSent(std::size_t count) override {
            std::lock_guard<std::mutex> lock(mutex);
            pending.erase(0, count);
            echoed += count;
        }
        bool hasOutput() {
            std::lock_guard<std::mutex> lock(mutex);
            return !pending.empty();
        }
        std::mutex mutex;
        std::string pending;
        std::atomic<std::size_t> echoed{0};
    } echo;

    const std::string payload = pattern(2u << 20);
    std::atomic<bool> stop{false};
    const int fd = pair.link->server.fd();
    std::thread reader([&] {
        while (!stop) {
            platform::waitDescriptor(fd, platform::readable, 10);
            if (pair.server->receiveStep(echo).progress == KoTlsProgress::failed) return;
        }
    });
    std::thread writer([&] {
        while (!stop) {
            if (!echo.hasOutput() && !pair.server->wantsWrite()) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            platform::waitDescriptor(fd, platform::writable, 10);
            if (pair.server->sendStep(echo).progress == KoTlsProgress::failed) return;
        }
    });
    pair.clientPlain.queue(payload);
    pumpAlone(*pair.client, pair.clientPlain, pair.link->client->fd(),
              [&] { return pair.clientPlain.inputSize() >= payload.size(); });
    stop = true;
    reader.join();
    writer.join();
    EXPECT_EQ(echo.echoed.load(), payload.size());
    EXPECT_TRUE(pair.clientPlain.input() == payload);
    EXPECT_FALSE(pair.server->failed()) << pair.server->failureReason();
}

TEST(KoTlsSession, VerifyingClientChecksChainAndName) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    struct Row {
        const char* name;
        std::string certificate;
        std::string key;
        bool accepted;
    };
    const Row rows[] = {
        {"localhost", p.chainCertificate, p.leafKey, true},
        {"127.0.0.1", p.chainCertificate, p.leafKey, true},
        {"example.com", p.chainCertificate, p.leafKey, false},
        {"127.0.0.2", p.chainCertificate, p.leafKey, false},
        {"localhost", p.selfCertificate, p.selfKey, false},  // issuer not trusted
    };
    for (const auto& row : rows) {
        Pair pair({}, row.certificate, row.key, p.caCertificate);
        EXPECT_TRUE(pair.clientContext.verifiesPeers());
        pair.client->setServerName(row.name);
        pair.settle();
        EXPECT_EQ(pair.client->handshakeDone(), row.accepted) << row.name;
        if (!row.accepted) {
            EXPECT_NE(pair.client->failureReason().find("certificate verify failed"), std::string::npos)
                << row.name << ": " << pair.client->failureReason();
        }
    }
}

TEST(KoTlsSession, UnverifiedClientTakesAnyCertificate) {
    ASSERT_TRUE(tls_test::pki().ok);
    Pair pair;
    pair.client->setServerName("example.com");
    pair.settle();
    EXPECT_TRUE(pair.client->handshakeDone()) << pair.client->failureReason();
}
