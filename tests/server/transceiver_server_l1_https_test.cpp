#include "server/layers/https_layer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../message/engine_loopback.h"
#include "../net/tls_fixtures.h"
#include "echo_layer.h"
#include "foundation/exception.h"
#include "jobs/kessa_scheduler.h"
#include "message/response_header.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "net/socket_ipvx.h"
#include "server/layers/tls_connection.h"

using namespace std::chrono_literals;

namespace {

KoHTTPSettings FastHttp() {
    KoHTTPSettings settings;
    settings.server.acceptWaitMs = 100;
    settings.server.teardownPoll = 10ms;
    return settings;
}

std::shared_ptr<KoXServerHeader> Header(const tls_test::Pki& pki) {
    auto header = std::make_shared<KoXServerHeader>(4, true);
    header->entries["tcp_port"] = "0";
    header->entries["tcp_address"] = "127.0.0.1";
    header->entries["cacertificate"] = pki.chainCertificate;
    header->entries["privatekey"] = pki.leafKey;
    return header;
}

// A TLS client over loopback, stepped by the fixtures' drive loop.
struct TlsClient {
    KoSocketIPvx socket;
    KoTlsContext context;
    std::unique_ptr<KoTlsSession> session;
    tls_test::Plain plain;
    int fd = -1;

    bool Open(int port) {
        if (socket.Connect("127.0.0.1", port) != KoSocketIPvx::statusOk) return false;
        fd = socket.fd() >= 0 ? socket.fd() : socket.fd4();
        session = std::make_unique<KoTlsSession>(context, fd);
        session->connect();
        return session->handshakeDone();
    }
    // Sends the request and returns the answer once its body is complete.
    std::string Exchange(const std::string& request, std::size_t bodySize, std::chrono::milliseconds limit = 20s) {
        const std::size_t before = plain.inputSize();
        plain.queue(request);
        const auto complete = [&] {
            const std::string input = plain.input().substr(before);
            const auto end = input.find("\r\n\r\n");
            return end != std::string::npos && input.size() - (end + 4) >= bodySize;
        };
        tls_test::drive({tls_test::Side{*session, plain, fd}}, complete, limit);
        return plain.input().substr(before);
    }
};

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
    return bytes;
}

class HttpsLayer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tls_test::pki().ok) GTEST_SKIP() << "the openssl command could not make test certificates";
        KoTransceiverSettings settings;
        settings.housekeepingInterval = 50ms;
        settings.teardownPoll = 10ms;
        transceiver = std::make_unique<KoTransceiver>(scheduler, settings);
    }
    void TearDown() override {
        layer.reset();
        transceiver.reset();
    }

    int Start(KoTlsSettings tls = {}) {
        auto sink = [this](const std::string&, std::shared_ptr<KoXHeader> request) {
            lastCode = request->ProtocolCode();
            auto response = request->MakeAnswer();
            response->statusCode = 200;
            response->closeAfter = request->closeAfter;
            response->Input().sputn(body.data(), static_cast<std::streamsize>(body.size()));
            response->setState(header_state::Complete);
            self->writeMessage(request->connectionName, response);
            return 1;
        };
        layer = std::shared_ptr<KoTransceiverServerL1HTTPS>(
            new KoTransceiverServerL1HTTPS(scheduler, *transceiver, "client", "server", "tag", Header(tls_test::pki()),
                                           log.callback(), sink, Logged(FastHttp()), tls),
            KoJobDeleter());
        self = layer.get();
        layer->attach(*transceiver);
        EXPECT_TRUE(layer->start());
        EXPECT_TRUE(log.WaitForKind(server_event::listening));
        return layer->BoundPort();
    }

    // Settings whose access log goes to accessLines.
    KoHTTPSettings Logged(KoHTTPSettings settings) {
        settings.accessLog = [this](std::string_view line) {
            std::lock_guard<std::mutex> guard(accessLock);
            accessLines.emplace_back(line);
        };
        return settings;
    }
    std::vector<std::string> AccessLines() {
        std::lock_guard<std::mutex> guard(accessLock);
        return accessLines;
    }

    // Waits (bounded) until the layer has no open connection left.
    bool AllDropped(std::chrono::milliseconds limit = 5s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (transceiver->ConnectionCount(layer->name) != 0) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    KoKessaScheduler2 scheduler;
    std::unique_ptr<KoTransceiver> transceiver;
    std::shared_ptr<KoTransceiverServerL1HTTPS> layer;
    KoTransceiverServerL1HTTPS* self = nullptr;
    server_test::EventLog log;
    std::string body = "hello over tls";
    std::atomic<std::int32_t> lastCode{0};
    std::mutex accessLock;
    std::vector<std::string> accessLines;
};

}  // namespace

TEST_F(HttpsLayer, AnswersOverTlsUnderCodeFour) {
    const int port = Start();
    ASSERT_NE(port, 0);
    TlsClient client;
    ASSERT_TRUE(client.Open(port));
    const std::string answer = client.Exchange("GET /a HTTP/1.1\r\nHost: x\r\n\r\n", body.size());
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
    EXPECT_EQ(lastCode.load(), 4);
    // Keep-alive: a second request on the same session.
    const std::string again = client.Exchange("GET /b HTTP/1.1\r\nHost: x\r\n\r\n", body.size());
    EXPECT_EQ(again.substr(again.size() - body.size()), body);
    ASSERT_TRUE(engine_test::Eventually([&] { return AccessLines().size() >= 2; }));
    EXPECT_NE(AccessLines()[0].find("GET /a"), std::string::npos);
    // The line opens with the peer's address.
    EXPECT_EQ(AccessLines()[0].rfind("127.0.0.1 - HTTPS - [", 0), 0u) << AccessLines()[0];
}

TEST_F(HttpsLayer, LargeAnswerArrivesIntact) {
    body = Pattern(6 * 1024 * 1024 + 123);
    const int port = Start();
    TlsClient client;
    ASSERT_TRUE(client.Open(port));
    const std::string answer = client.Exchange("GET /big HTTP/1.1\r\nHost: x\r\n\r\n", body.size(), 60s);
    ASSERT_GE(answer.size(), body.size());
    EXPECT_TRUE(answer.compare(answer.size() - body.size(), body.size(), body) == 0);
    EXPECT_LE(client.plain.maxInputChunk(), kTlsChunkSize);
}

TEST_F(HttpsLayer, CloseRequestEndsTheSession) {
    const int port = Start();
    TlsClient client;
    ASSERT_TRUE(client.Open(port));
    const std::string answer = client.Exchange("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", body.size());
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
    EXPECT_TRUE(tls_test::drive({tls_test::Side{*client.session, client.plain, client.fd}},
                                [&] { return client.session->closed() || client.session->failed(); }, 5s));
    // Said goodbye with a close-notify: clients reading to the end see no
    // truncation.
    EXPECT_TRUE(client.session->cleanClose());
    EXPECT_TRUE(AllDropped());
}

// The session sends what the handshake wrote last (its tickets) with the
// first answer, lets go of its buffers once a connection is idle, and
// reads the socket again only when the loop reports it readable: each
// request here must still be answered whole, in order, whenever it comes.
TEST_F(HttpsLayer, EveryRequestIsAnsweredAfterTheHandshakeAndAfterIdle) {
    struct Case {
        const char* name;
        bool idleFirst;                   // one exchange first: the connection rests
        std::vector<std::string> writes;  // sent one after another
        std::size_t answers;
    };
    const std::string get = "GET /p HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::vector<Case> cases = {
        {"first request after the handshake", false, {get}, 1},
        {"pipelined pair after the handshake", false, {get + get}, 2},
        {"one request after idle", true, {get}, 1},
        {"pipelined three after idle", true, {get + get + get}, 3},
        {"request split in two writes after idle", true, {"GET /p HTTP/1.1\r\nHo", "st: x\r\n\r\n"}, 1},
        {"split between two pipelined requests", true, {get + "GET /p HT", "TP/1.1\r\nHost: x\r\n\r\n"}, 2},
    };
    const int port = Start();
    ASSERT_NE(port, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TlsClient client;
        ASSERT_TRUE(client.Open(port));
        const tls_test::Side side{*client.session, client.plain, client.fd};
        if (c.idleFirst) {
            const std::string first = client.Exchange(get, body.size());
            ASSERT_EQ(first.substr(first.size() - std::min(first.size(), body.size())), body);
        }
        const std::size_t before = client.plain.inputSize();
        for (std::size_t i = 0; i < c.writes.size(); ++i) {
            client.plain.queue(c.writes[i]);
            // Each part on its own: the server has read the one before.
            if (i + 1 < c.writes.size()) tls_test::drive({side}, [] { return false; }, 100ms);
        }
        const auto answered = [&] {
            const std::string input = client.plain.input().substr(before);
            std::size_t count = 0;
            for (auto at = input.find("HTTP/1.1 200"); at != std::string::npos; at = input.find("HTTP/1.1 200", at + 1))
                ++count;
            return count == c.answers && input.size() >= c.answers * body.size() &&
                   input.compare(input.size() - body.size(), body.size(), body) == 0;
        };
        EXPECT_TRUE(tls_test::drive({side}, answered, 10s)) << client.plain.input().substr(before);
        EXPECT_FALSE(client.session->failed()) << client.session->failureReason();
    }
}

TEST_F(HttpsLayer, SilentAndStalledClientsDelayNobodyAndAreDropped) {
    KoTlsSettings tls;
    tls.serverHandshakeTimeout = 3s;
    const int port = Start(tls);
    std::vector<std::unique_ptr<KoSocketIPvx>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<KoSocketIPvx>());
        ASSERT_EQ(silent.back()->Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    }
    // Half a record header of a ClientHello, then nothing.
    const char partial[] = "\x16\x03\x01\x02";
    std::size_t sent = 0;
    silent.front()->Send(partial, sizeof partial - 1, sent);

    TlsClient client;
    ASSERT_TRUE(client.Open(port));
    const std::string answer = client.Exchange("GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", body.size());
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
    // The served client was finished well before the silent ones' deadline.
    EXPECT_GE(transceiver->ConnectionCount(layer->name), 10u);
    EXPECT_TRUE(AllDropped(10s));
    for (auto& socket : silent) {
        char byte = 0;
        std::size_t got = 0;
        for (int i = 0; i < 100 && !socket->closed(); ++i) {
            socket->Receive(&byte, 1, got);
            if (!socket->closed()) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(socket->closed());
    }
}

TEST_F(HttpsLayer, PlainTextOnTheTlsPortIsDropped) {
    const int port = Start();
    KoSocketIPvx plain;
    ASSERT_EQ(plain.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    std::size_t sent = 0;
    plain.Send(request.data(), request.size(), sent);
    EXPECT_TRUE(AllDropped());
    TlsClient client;
    ASSERT_TRUE(client.Open(port));
    const std::string answer = client.Exchange("GET / HTTP/1.1\r\nHost: x\r\n\r\n", body.size());
    EXPECT_EQ(answer.substr(answer.size() - body.size()), body);
}

TEST(KoTransceiverConnection_SSLAddon, ClientHandshakeWithASilentPeerTimesOut) {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver(scheduler);
    KoSocketIPvx listener;
    int port = 0;
    ASSERT_EQ(listener.Listen("127.0.0.1", port, 4), KoSocketIPvx::statusOk);
    KoSocketIPvx socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    KoTlsSettings settings;
    settings.clientHandshakeTimeout = 300ms;
    KoTransceiverServerL1_SSLAddon client(settings);
    std::shared_ptr<KoTransceiverConnection> connection;
    try {
        client.CreateConnection(connection, transceiver, "owner", "peer", {}, nullptr, socket);
        FAIL() << "the handshake did not time out";
    } catch (const KoException& error) {
        EXPECT_STREQ(error.what(), "Error getting SSL_connect");
    }
    EXPECT_FALSE(connection);
}

TEST_F(HttpsLayer, ClientRoleConnectsToTheServer) {
    const int port = Start();
    KoSocketIPvx socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    KoTransceiverServerL1_SSLAddon client;
    std::shared_ptr<KoTransceiverConnection> made;
    client.CreateConnection(made, *transceiver, "owner", "peer", {}, nullptr, socket, "localhost");
    auto connection = std::dynamic_pointer_cast<KoTransceiverConnection_SSLAddon>(made);
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->ServerRole());
    EXPECT_TRUE(connection->HandshakeDone());
    EXPECT_EQ(connection->TlsDescriptor(), socket.fd() >= 0 ? socket.fd() : socket.fd4());
}
