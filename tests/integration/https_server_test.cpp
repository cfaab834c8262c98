// End to end over TLS: servers started through the exported API (and its
// internal form, for other protocol codes and shortened deadlines) answering
// curl and openssl s_client over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/server_handle.h"
#include "api/velko_server_api.h"
#include "foundation/exception.h"
#include "jobs/job.h"
#include "net/socket_ipvx.h"
#include "tls_site.h"

using namespace std::chrono_literals;

namespace {

tls_test::CommandResult Curl(const std::vector<std::string>& arguments) {
    std::vector<std::string> all = {"-s", "--max-time", "20"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return tls_test::run("curl", all, "", 30000);
}

int WaitForPort(void* handle) {
    for (int i = 0; i < 500 && ServerPort(handle) == 0; ++i) std::this_thread::sleep_for(10ms);
    return ServerPort(handle);
}

KoApplicationSettings Quick() {
    KoApplicationSettings settings;
    settings.transceiver.housekeepingInterval = 50ms;
    settings.http.server.acceptWaitMs = 100;
    settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
    return settings;
}

class HttpsServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!site.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
    }
    void TearDown() override { StopHTTPserver(handle); }

    void Start(unsigned code = 4, KoApplicationSettings settings = Quick()) {
        handle = KoStartServer("127.0.0.1", 0, site.htmlroot.c_str(), (site.htmlroot + "cgi-bin/").c_str(),
                               site.certificate.c_str(), site.key.c_str(), code, settings);
        port = WaitForPort(handle);
        ASSERT_NE(port, 0);
        base = "https://localhost:" + std::to_string(port);
    }
    // ServerPort knows HTTP and HTTPS ports only: other protocols get a
    // free port chosen here, and the test waits until it accepts.
    void StartOnFreePort(unsigned code) {
        port = FreePort();
        handle = KoStartServer("127.0.0.1", port, site.htmlroot.c_str(), (site.htmlroot + "cgi-bin/").c_str(),
                               site.certificate.c_str(), site.key.c_str(), code, Quick());
        bool up = false;
        for (int i = 0; i < 500 && !up; ++i) {
            KoSocketIPvx probe;
            up = probe.Connect("127.0.0.1", port) == KoSocketIPvx::statusOk;
            if (!up) std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(up);
        base = "https://localhost:" + std::to_string(port);
    }
    static int FreePort() {
        int free = 0;
        KoSocketIPvx probe;
        EXPECT_EQ(probe.Listen("127.0.0.1", free, 4), KoSocketIPvx::statusOk);
        return free;
    }

    tls_site::Site site;
    void* handle = nullptr;
    int port = 0;
    std::string base;
};

std::string ReadFile(const std::string& path) { return tls_test::readFile(path); }

}  // namespace

TEST_F(HttpsServer, CurlVerifiesTheCertificateAndGetsThePage) {
    handle = StartHTTPServer("127.0.0.1", 0, site.htmlroot.c_str(), (site.htmlroot + "cgi-bin/").c_str(),
                             site.certificate.c_str(), site.key.c_str());
    port = WaitForPort(handle);
    ASSERT_NE(port, 0);
    base = "https://localhost:" + std::to_string(port);
    const auto page = Curl({"--cacert", site.certificate, base + "/"});
    EXPECT_EQ(page.exitCode, 0);
    EXPECT_EQ(page.output, ReadFile(site.htmlroot + "index.html"));
    const auto css = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{http_code} %{content_type}",
                           base + "/style.css"});
    EXPECT_EQ(css.output, "200 text/css");
    const auto js = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{content_type}", base + "/app.js"});
    EXPECT_EQ(js.output, "text/javascript");
    // TLS 1.2 at least; 1.3 where both sides have it.
    const auto old = Curl({"--cacert", site.certificate, "--tls-max", "1.1", "-o", "/dev/null", base + "/"});
    EXPECT_NE(old.exitCode, 0);
    const auto missing = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{http_code}", base + "/no.html"});
    EXPECT_EQ(missing.output, "404");
}

TEST_F(HttpsServer, OpensslClientCompletesAVerifiedHandshake) {
    Start();
    const std::string request = "GET /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const auto run = tls_test::run("openssl",
                                   {"s_client", "-connect", "127.0.0.1:" + std::to_string(port), "-servername",
                                    "localhost", "-CAfile", site.certificate, "-verify_return_error", "-ign_eof"},
                                   request, 30000);
    EXPECT_TRUE(run.ok) << run.output;
    EXPECT_NE(run.output.find("Verify return code: 0 (ok)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("HTTP/1.1 200"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("<h1>velkotwo sample site</h1>"), std::string::npos);
}

// TLS 1.2 offered CBC suites (open to padding-oracle timing attacks) and
// followed the client's order of preference.
TEST_F(HttpsServer, Tls12OffersOnlyAeadSuitesInTheServersOrder) {
    Start();
    const auto handshake = [&](const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {"s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                              "-servername", "localhost", "-CAfile", site.certificate};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return tls_test::run("openssl", arguments, "", 30000);
    };
    for (const char* cbc : {"AES128-SHA", "ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA384", "AES256-GCM-SHA384"}) {
        const auto refused = handshake({"-tls1_2", "-cipher", cbc});
        EXPECT_FALSE(refused.ok) << cbc;
        EXPECT_EQ(refused.output.find("Cipher is " + std::string(cbc)), std::string::npos) << cbc;
    }
    const auto gcm = handshake({"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"});
    EXPECT_TRUE(gcm.ok) << gcm.output;
    EXPECT_NE(gcm.output.find("Cipher is ECDHE-ECDSA-AES128-GCM-SHA256"), std::string::npos) << gcm.output;
    const auto chacha = handshake({"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"});
    EXPECT_NE(chacha.output.find("Cipher is ECDHE-ECDSA-CHACHA20-POLY1305"), std::string::npos) << chacha.output;
    // The client's first choice gives way to the server's.
    const auto ordered = handshake({"-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256"});
    EXPECT_NE(ordered.output.find("Cipher is ECDHE-ECDSA-AES128-GCM-SHA256"), std::string::npos) << ordered.output;
    // TLS 1.3 is unchanged.
    const auto tls13 = handshake({"-tls1_3"});
    EXPECT_NE(tls13.output.find("TLSv1.3"), std::string::npos) << tls13.output;
}

// TLS 1.3: the server's order of suites (AES-128-GCM first) over the
// client's, every suite still offered, and one session ticket per full
// handshake.
TEST_F(HttpsServer, Tls13ChoosesInTheServersOrderAndHandsOutOneTicket) {
    Start();
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    struct Case {
        std::string clientSuites;  // empty: the client's defaults
        std::string chosen;
    };
    const std::vector<Case> cases = {
        {"", "TLS_AES_128_GCM_SHA256"},
        {"TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256", "TLS_AES_128_GCM_SHA256"},
        {"TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256", "TLS_CHACHA20_POLY1305_SHA256"},
        {"TLS_AES_256_GCM_SHA384", "TLS_AES_256_GCM_SHA384"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                              "-servername", "localhost", "-CAfile", site.certificate,
                                              "-tls1_3", "-ign_eof"};
        if (!c.clientSuites.empty()) arguments.insert(arguments.end(), {"-ciphersuites", c.clientSuites});
        const auto run = tls_test::run("openssl", arguments, request, 30000);
        ASSERT_TRUE(run.ok) << c.clientSuites << "\n" << run.output;
        EXPECT_NE(run.output.find("New, TLSv1.3, Cipher is " + c.chosen), std::string::npos)
            << c.clientSuites << "\n" << run.output;
        EXPECT_NE(run.output.find("HTTP/1.1 200"), std::string::npos) << c.clientSuites;
        std::size_t tickets = 0;
        const std::string arrived = "New Session Ticket arrived";
        for (auto at = run.output.find(arrived); at != std::string::npos; at = run.output.find(arrived, at + 1)) {
            ++tickets;
        }
        EXPECT_EQ(tickets, 1u) << c.clientSuites << "\n" << run.output;
    }
}

// A client that comes back resumes its session (an abbreviated handshake)
// with a ticket, over TLS 1.3 and 1.2, or from the server's session cache
// when it takes no tickets.
TEST_F(HttpsServer, AReturningClientResumesItsSession) {
    Start();
    const std::string directory = ::testing::TempDir();
    // One request answered and closed: TLS 1.3 tickets come after the
    // handshake, and the client must stay to receive them.
    const std::string request = "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const auto handshake = [&](const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {"s_client", "-connect", "127.0.0.1:" + std::to_string(port),
                                              "-servername", "localhost", "-CAfile", site.certificate, "-ign_eof"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return tls_test::run("openssl", arguments, request, 30000);
    };
    const std::vector<std::vector<std::string>> ways = {{"-tls1_3"}, {"-tls1_2"}, {"-tls1_2", "-no_ticket"}};
    int round = 0;
    for (const auto& way : ways) {
        const std::string saved = directory + "velko_session_" + std::to_string(round++) + ".pem";
        std::vector<std::string> first = way;
        first.insert(first.end(), {"-sess_out", saved});
        const auto fresh = handshake(first);
        ASSERT_TRUE(fresh.ok) << fresh.output;
        EXPECT_NE(fresh.output.find("New, TLS"), std::string::npos) << fresh.output;
        std::vector<std::string> again = way;
        again.insert(again.end(), {"-sess_in", saved});
        const auto resumed = handshake(again);
        EXPECT_NE(resumed.output.find("Reused, TLS"), std::string::npos) << way.back() << "\n" << resumed.output;
        std::remove(saved.c_str());
    }
}

TEST_F(HttpsServer, LargeFileArrivesIntact) {
    const std::string big = site.htmlroot + "big.bin";
    {
        std::ofstream out(big, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (int i = 0; i < 24; ++i) {
            for (std::size_t j = 0; j < block.size(); j += 997) block[j] = static_cast<char>(i * 31 + j);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    Start();
    const std::string copy = site.directory + "/copy.bin";
    const auto got = Curl({"--cacert", site.certificate, "-o", copy, base + "/big.bin"});
    EXPECT_EQ(got.exitCode, 0);
    EXPECT_TRUE(ReadFile(copy) == ReadFile(big));
}

TEST_F(HttpsServer, SilentClientsDelayNobodyAndAreDroppedAfterTheDeadline) {
    KoApplicationSettings settings = Quick();
    settings.tls.serverHandshakeTimeout = 2s;
    Start(4, settings);
    std::vector<std::unique_ptr<KoSocketIPvx>> silent;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(std::make_unique<KoSocketIPvx>());
        ASSERT_EQ(silent.back()->Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    }
    const auto page = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{http_code}", base + "/"});
    EXPECT_EQ(page.output, "200");
    std::size_t open = 0;
    for (auto& socket : silent) {
        char byte = 0;
        std::size_t got = 0;
        socket->Receive(&byte, 1, got);
        open += socket->closed() ? 0 : 1;
    }
    // Served while all ten still held their connections.
    EXPECT_EQ(open, 10u);
    for (auto& socket : silent) {
        char byte = 0;
        std::size_t got = 0;
        for (int i = 0; i < 800 && !socket->closed(); ++i) {
            socket->Receive(&byte, 1, got);
            if (!socket->closed()) std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(socket->closed());
    }
}

TEST_F(HttpsServer, VelkoRequestsGet404WithAnEmptyBody) {
    StartOnFreePort(6);
    const std::string plain = "http://127.0.0.1:" + std::to_string(port);
    for (const char* method : {"GET", "POST"}) {
        const auto got = Curl({"-X", method, "-d", std::string(method) == "POST" ? "a=1" : "", "-o", "/dev/null", "-w",
                               "%{http_code} %{size_download}", plain + "/index.html"});
        EXPECT_EQ(got.output, "404 0") << method;
    }
    KoSocketIPvx raw;
    ASSERT_EQ(raw.Connect("127.0.0.1", port), KoSocketIPvx::statusOk);
    const std::string request = "GET /index.html VELKO/1.0\r\nConnection: close\r\n\r\n";
    std::size_t sent = 0;
    raw.Send(request.data(), request.size(), sent);
    std::string answer;
    char buffer[4096];
    for (int i = 0; i < 500 && !raw.closed(); ++i) {
        std::size_t n = 0;
        raw.Receive(buffer, sizeof buffer, n);
        answer.append(buffer, n);
        if (n == 0) std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(answer.find(" 404"), std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "");
}

// A secure VELKO server used to be built as a plain one.
TEST_F(HttpsServer, VelkoOverTlsNeedsTheHandshake) {
    StartOnFreePort(7);
    const auto secure = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{http_code}", base + "/"});
    EXPECT_EQ(secure.output, "404");
    const auto clear = Curl({"-o", "/dev/null", "-w", "%{http_code}",
                             "http://127.0.0.1:" + std::to_string(port) + "/"});
    EXPECT_NE(clear.output, "404");
}

TEST_F(HttpsServer, TlsSetUpErrorsLeaveStartHTTPServer) {
    // A port nobody listens on, to see that the failed start bound nothing.
    const int fixed = FreePort();
    const std::string absent = site.directory + "/absent.pem";
    const std::string wrongKey = site.directory + "/other.key";
    ASSERT_TRUE(tls_test::run("openssl", {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                          "-out", wrongKey})
                    .ok);
    const struct {
        std::string certificate, key, message;
    } rows[] = {
        {site.certificate, "", "(SSL) can't find ca certificate and/or private key"},
        {"", site.key, "(SSL) can't find ca certificate and/or private key"},
        {site.certificate, absent, "(SSL) problem with SSL key pair"},
        {absent, site.key, "(SSL) problem with SSL key pair"},
        {site.certificate, wrongKey, "(SSL) problem with SSL key pair"},
    };
    // Another TLS server in the process must not hide the error.
    Start();
    const long jobs = KoJob::liveCount();
    for (const auto& row : rows) {
        std::string message;
        try {
            void* other = StartHTTPServer("127.0.0.1", fixed, site.htmlroot.c_str(), site.htmlroot.c_str(),
                                          row.certificate.c_str(), row.key.c_str());
            StopHTTPserver(other);
        } catch (const KoException_SSL& error) {
            message = error.what();
        }
        EXPECT_EQ(message, row.message) << row.certificate << " / " << row.key;
        EXPECT_EQ(KoJob::liveCount(), jobs);
        KoSocketIPvx again;
        int reuse = fixed;
        EXPECT_EQ(again.Listen("127.0.0.1", reuse, 4), KoSocketIPvx::statusOk);
    }
    // The first server still serves.
    const auto page = Curl({"--cacert", site.certificate, "-o", "/dev/null", "-w", "%{http_code}", base + "/"});
    EXPECT_EQ(page.output, "200");
}
