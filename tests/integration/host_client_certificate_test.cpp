// Client certificates of the host interface, end to end: velko::Server over
// HTTPS, curl and openssl s_client presenting certificates that the test
// makes with openssl (a CA of the server's, and a stranger's CA).
#include <velkotwo/server.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "host_shell.h"

namespace {

using host_shell::Directory;
using host_shell::Quoted;
using Check = velko::ServerOptions::ClientCertificates;

constexpr const char* kKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

class HostClientCertificates : public ::testing::Test {
protected:
    void SetUp() override {
        if (!dir.ok) GTEST_SKIP() << "no certificate (openssl command) or no sample site";
        const std::string in = "cd " + Quoted(dir.path) + " && ";
        // Two CAs, each with a client of its own.
        for (const std::string& name : {std::string("ca"), std::string("otherca")}) {
            ASSERT_EQ(Directory::Run(in + "openssl req -x509 " + kKey + " -days 2 -subj '/CN=Test " + name +
                                     "' -keyout " + name + ".key -out " + name + ".pem 2>/dev/null"),
                      0);
        }
        MakeClient("alice", "ca");
        MakeClient("stranger", "otherca");
        std::string fingerprint = Directory::Capture("openssl x509 -noout -fingerprint -sha256 -in " +
                                                     Quoted(dir.file("alice.pem")))
                                      .output;
        fingerprint = fingerprint.substr(fingerprint.find('=') + 1);
        fingerprint.erase(std::remove_if(fingerprint.begin(), fingerprint.end(),
                                         [](char c) { return c == ':' || c == '\n'; }),
                          fingerprint.end());
        for (char& c : fingerprint) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        aliceFingerprint = fingerprint;
        const std::string serial =
            Directory::Capture("openssl x509 -noout -serial -in " + Quoted(dir.file("alice.pem"))).output;
        aliceSerial = serial.substr(serial.find('=') + 1, serial.find('\n') - serial.find('=') - 1);
        ASSERT_EQ(aliceFingerprint.size(), 64u) << fingerprint;

        std::ofstream(dir.file("htmlroot/cgi-bin/cert.sh"))
            << "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
               "echo \"verify=$SSL_CLIENT_VERIFY subject=$SSL_CLIENT_S_DN issuer=$SSL_CLIENT_I_DN "
               "serial=$SSL_CLIENT_M_SERIAL fingerprint=$SSL_CLIENT_FINGERPRINT\"\n";
        ASSERT_EQ(Directory::Run("chmod +x " + Quoted(dir.file("htmlroot/cgi-bin/cert.sh"))), 0);
        options.certificate = dir.file("cacert.pem");
        options.key = dir.file("privkey.pem");
        options.documentRoot = dir.file("htmlroot");
        options.accessLog = velko::AccessLog::nowhere();
        options.clientCaFile = dir.file("ca.pem");
    }

    void MakeClient(const std::string& name, const std::string& ca) {
        const std::string in = "cd " + Quoted(dir.path) + " && ";
        ASSERT_EQ(Directory::Run(in + "openssl req " + kKey + " -subj '/O=Panel/CN=" + name + "' -keyout " + name +
                                 ".key -out " + name + ".csr 2>/dev/null && openssl x509 -req -in " + name +
                                 ".csr -CA " + ca + ".pem -CAkey " + ca + ".key -CAcreateserial -days 2 -out " +
                                 name + ".pem 2>/dev/null"),
                  0)
            << name;
    }

    void Start(Check check) {
        options.clientCertificates = check;
        server = std::make_unique<velko::Server>(options);
        ASSERT_GT(server->port(), 0);
        base = "https://localhost:" + std::to_string(server->port());
        server->on("GET", "/me", [](const velko::Request& request) {
            const velko::ClientCertificate& c = request.clientCertificate;
            return velko::Answer::text("verify=" + c.verify + " subject=" + c.subject + " issuer=" + c.issuer +
                                       " serial=" + c.serial + " fingerprint=" + c.fingerprint + "\n");
        });
    }

    // Presenting the named client's certificate ("" none).
    host_shell::Result Curl(const std::string& client, const std::string& target) {
        const std::string presented =
            client.empty() ? std::string()
                           : " --cert " + Quoted(dir.file(client + ".pem")) + " --key " + Quoted(dir.file(client + ".key"));
        return Directory::Capture("curl -sS -i --http1.1 --max-time 30 --cacert " + Quoted(dir.file("cacert.pem")) + presented +
                                  " " + Quoted(base + target));
    }

    std::string Alice() const {
        return "verify=SUCCESS subject=CN=alice,O=Panel issuer=CN=Test ca serial=" + aliceSerial +
               " fingerprint=" + aliceFingerprint + "\n";
    }

    Directory dir;
    velko::ServerOptions options;
    std::unique_ptr<velko::Server> server;
    std::string base;
    std::string aliceFingerprint;
    std::string aliceSerial;
};

// There was no way to ask for client certificates: a host could not admit
// only the holders of its own certificates, nor learn who they were.
TEST_F(HostClientCertificates, RequiredAndOptionalChecksToHandlersAndPrograms) {
    const struct {
        Check check;
        std::string client;
        bool handshake;       // the handshake succeeds
        std::string handler;  // what /me answers
        std::string program;  // what /cgi-bin/cert.sh answers
    } cases[] = {
        {Check::required, "alice", true, Alice(), Alice()},
        {Check::required, "", false, "", ""},
        {Check::required, "stranger", false, "", ""},
        {Check::optional, "", true, "verify=NONE subject= issuer= serial= fingerprint=\n",
         "verify=NONE subject= issuer= serial= fingerprint=\n"},
        {Check::optional, "alice", true, Alice(), Alice()},
        {Check::optional, "stranger", true,
         "verify=FAILED:unable to verify the first certificate subject= issuer= serial= fingerprint=\n",
         "verify=FAILED:unable to verify the first certificate subject= issuer= serial= fingerprint=\n"},
        {Check::off, "alice", true, "verify= subject= issuer= serial= fingerprint=\n",
         "verify= subject= issuer= serial= fingerprint=\n"},
    };
    Check running = Check::off;
    for (const auto& c : cases) {
        if (!server || running != c.check) {
            server.reset();
            Start(c.check);
            running = c.check;
        }
        const std::string label = std::to_string(static_cast<int>(c.check)) + " client=" + c.client;
        for (const auto& [target, expected] : {std::pair{std::string("/me"), c.handler},
                                               std::pair{std::string("/cgi-bin/cert.sh"), c.program}}) {
            const host_shell::Result answer = Curl(c.client, target);
            if (!c.handshake) {
                // Refused in the handshake: no answer at all.
                EXPECT_NE(answer.status, 0) << label << target << "\n" << answer.output;
                EXPECT_EQ(answer.output.find("HTTP/1.1"), std::string::npos) << label << target << answer.output;
                continue;
            }
            EXPECT_EQ(answer.output.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << label << target << "\n" << answer.output;
            const std::size_t body = answer.output.find("\r\n\r\n");
            ASSERT_NE(body, std::string::npos) << label << target << answer.output;
            EXPECT_EQ(answer.output.substr(body + 4), expected) << label << target;
        }
    }
}

// A session resumed from a ticket skips the certificate exchange; without
// a session context OpenSSL failed such handshakes on a verifying server.
// The resumed session must carry its client's verified certificate.
TEST_F(HostClientCertificates, ResumedSessionKeepsTheVerifiedSubject) {
    Start(Check::required);
    const std::string request = "printf 'GET /me HTTP/1.1\\r\\nHost: localhost\\r\\nConnection: close\\r\\n\\r\\n' | ";
    const std::string client = "openssl s_client -connect 127.0.0.1:" + std::to_string(server->port()) +
                               " -servername localhost -ign_eof -CAfile " + Quoted(dir.file("cacert.pem"));
    const std::string session = Quoted(dir.file("session.pem"));
    const host_shell::Result first = Directory::Capture(request + client + " -cert " + Quoted(dir.file("alice.pem")) +
                                                        " -key " + Quoted(dir.file("alice.key")) + " -sess_out " +
                                                        session + " 2>&1");
    ASSERT_NE(first.output.find("subject=CN=alice,O=Panel"), std::string::npos) << first.output;
    // No certificate offered now: only the resumed session can show one.
    const host_shell::Result resumed = Directory::Capture(request + client + " -sess_in " + session + " 2>&1");
    EXPECT_NE(resumed.output.find("Reused, TLS"), std::string::npos) << resumed.output;
    EXPECT_NE(resumed.output.find(Alice()), std::string::npos) << resumed.output;
}

TEST_F(HostClientCertificates, MisconfigurationStopsTheStart) {
    options.clientCaFile = dir.file("no-such-ca.pem");
    EXPECT_THROW(Start(Check::required), KoException_SSL);
    options.clientCaFile = dir.file("ca.pem");
    options.https = false;
    try {
        Start(Check::optional);
        ADD_FAILURE() << "client certificates were set up on plain HTTP";
    } catch (const KoException& error) {
        EXPECT_NE(std::string(error.what()).find("client certificates need HTTPS"), std::string::npos)
            << error.what();
    }
}

}  // namespace
