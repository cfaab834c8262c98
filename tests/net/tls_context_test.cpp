#include "net/tls_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "tls_fixtures.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// The what() text of the KoException_SSL that building a server context
// raises, or "" when it builds.
std::string serverFailure(const std::string& certificate, const std::string& key) {
    try {
        KoTlsContext context(certificate, key);
        return "";
    } catch (const KoException_SSL& error) {
        return error.what();
    } catch (const std::exception& error) {
        return std::string("wrong type: ") + error.what();
    }
}

const std::string kMissing = "(SSL) can't find ca certificate and/or private key";
const std::string kKeyPair = "(SSL) problem with SSL key pair";

}  // namespace

TEST(KoTlsContext, ServerRoleFromMatchingFiles) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext context(p.selfCertificate, p.selfKey);
    EXPECT_TRUE(context.serverRole());
    EXPECT_EQ(context.certificateFile(), p.selfCertificate);
    EXPECT_EQ(context.privateKeyFile(), p.selfKey);
}

TEST(KoTlsContext, CertificateFileMayHoldAChain) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(serverFailure(p.chainCertificate, p.leafKey), "");
}

TEST(KoTlsContext, EmptyFileNamesAreMissingKeys) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(serverFailure(p.selfCertificate, ""), kMissing);
    EXPECT_EQ(serverFailure("", p.selfKey), kMissing);
    EXPECT_EQ(serverFailure("", ""), kMissing);
}

// Every rejected pair gave the same "problem with SSL key pair", the cause on
// standard error only; an encrypted key made OpenSSL ask for a pass phrase on
// the terminal and wait there. Each cause is now told apart, naming the
// file, and an encrypted key is opened with the pass phrase given or refused.
TEST(KoTlsContext, RejectedFilesAreAKeyPairProblemThatSaysWhy) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    const std::string nowhere = p.directory + "/absent.pem";
    const std::string notMatching = " does not belong to the certificate in " + p.selfCertificate;
    struct Row {
        const char* what;
        std::string certificate;
        std::string key;
        std::string passphrase;
        std::string cause;
    };
    const Row rows[] = {
        {"certificate file absent", nowhere, p.selfKey, "",
         "cannot read the certificate file " + nowhere + ": No such file or directory"},
        {"key file absent", p.selfCertificate, nowhere, "",
         "cannot read the private key file " + nowhere + ": No such file or directory"},
        {"key of another pair", p.selfCertificate, p.otherKey, "", "the private key in " + p.otherKey + notMatching},
        {"leaf key with the self-signed certificate", p.selfCertificate, p.leafKey, "",
         "the private key in " + p.leafKey + notMatching},
        {"garbage certificate", p.garbage, p.selfKey, "", p.garbage + " holds no PEM certificate"},
        {"garbage key", p.selfCertificate, p.garbage, "", p.garbage + " holds no PEM private key"},
        {"key given as certificate", p.selfKey, p.selfKey, "", p.selfKey + " holds a private key, not a certificate"},
        {"certificate given as key", p.selfCertificate, p.selfCertificate, "",
         p.selfCertificate + " holds a certificate, not a private key"},
        {"swapped files", p.selfKey, p.selfCertificate, "",
         "the certificate and key files are swapped: " + p.selfKey + " holds a private key, " + p.selfCertificate +
             " a certificate"},
        {"directory as certificate", p.directory, p.selfKey, "",
         "the certificate file " + p.directory + " is a directory"},
        {"encrypted key", p.selfCertificate, p.encryptedKey, "",
         "the private key in " + p.encryptedKey + " is encrypted and no pass phrase was given"},
        {"traditional encrypted key", p.selfCertificate, p.legacyEncryptedKey, "",
         "the private key in " + p.legacyEncryptedKey + " is encrypted and no pass phrase was given"},
        {"wrong pass phrase", p.selfCertificate, p.encryptedKey, "not it",
         "the pass phrase does not decrypt the private key in " + p.encryptedKey},
    };
    for (const auto& row : rows) {
        std::vector<std::string> lines;
        const auto previous = setDiagnosticSink([&lines](std::string_view line) { lines.emplace_back(line); });
        std::string cause = "built";
        std::string message;
        try {
            KoTlsContext context(row.certificate, row.key, row.passphrase);
        } catch (const KoTlsKeyPairError& error) {
            cause = error.cause();
            message = error.what();
        }
        setDiagnosticSink(previous);
        EXPECT_EQ(message, kKeyPair) << row.what;
        EXPECT_EQ(cause, row.cause) << row.what;
        ASSERT_EQ(lines.size(), 1u) << row.what;
        EXPECT_EQ(lines[0].rfind("(SSL) problem with SSL key pair: " + row.cause, 0), 0u) << lines[0];
    }
}

TEST(KoTlsContext, AnEncryptedKeyOpensWithItsPassphrase) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    for (const std::string& key : {p.encryptedKey, p.legacyEncryptedKey}) {
        KoTlsContext context(p.selfCertificate, key, p.encryptedKeyPassphrase);
        EXPECT_TRUE(context.serverRole()) << key;
    }
    // A pass phrase beside a key that needs none does no harm.
    EXPECT_EQ(serverFailure(p.selfCertificate, p.selfKey), "");
    KoTlsContext plain(p.selfCertificate, p.selfKey, "unused");
    EXPECT_TRUE(plain.serverRole());
}

// A failed set-up used to be swallowed once another context existed in the
// process, leaving a server without TLS that failed on every connection.
TEST(KoTlsContext, FailureRaisesWhileOtherContextsExist) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    KoTlsContext healthy(p.selfCertificate, p.selfKey);
    KoTlsContext client;
    EXPECT_EQ(serverFailure(p.selfCertificate, ""), kMissing);
    CaptureStderr();
    EXPECT_EQ(serverFailure(p.selfCertificate, p.otherKey), kKeyPair);
    GetCapturedStderr();
}

TEST(KoTlsContext, AddOnCountCountsBuiltContexts) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    const auto before = KoTlsContext::addOnCount();
    {
        KoTlsContext server(p.selfCertificate, p.selfKey);
        EXPECT_EQ(KoTlsContext::addOnCount(), before + 1);
        KoTlsContext client;
        EXPECT_EQ(KoTlsContext::addOnCount(), before + 2);
    }
    // Destruction leaves the count alone; a failed server set-up takes back
    // its own increment.
    EXPECT_EQ(KoTlsContext::addOnCount(), before + 2);
    EXPECT_EQ(serverFailure("", ""), kMissing);
    EXPECT_EQ(KoTlsContext::addOnCount(), before + 2);
}

TEST(KoTlsContext, ClientRoleNeedsNoFiles) {
    KoTlsContext client;
    EXPECT_FALSE(client.serverRole());
    EXPECT_EQ(client.certificateFile(), "");
    EXPECT_EQ(client.privateKeyFile(), "");
}

TEST(KoTlsContext, FailureIsAlsoAKoException) {
    try {
        KoTlsContext context("", "");
        FAIL() << "no exception";
    } catch (const KoException& error) {
        EXPECT_EQ(error.message, kMissing);
    }
}

TEST(KoTlsContext, TrustStoreMustLoad) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    for (const std::string& file : {p.garbage, p.directory + "/absent.pem"}) {
        KoTlsContext client;
        CaptureStderr();
        try {
            client.verifyPeers(file);
            ADD_FAILURE() << file << " loaded";
        } catch (const KoException_SSL& error) {
            EXPECT_STREQ(error.what(), "(SSL) problem with SSL trust store");
        }
        GetCapturedStderr();
        EXPECT_FALSE(client.verifiesPeers());
    }
    KoTlsContext client;
    client.verifyPeers(p.caCertificate);
    EXPECT_TRUE(client.verifiesPeers());
}
