#include "net/tls_context.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

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

TEST(KoTlsContext, RejectedFilesAreAKeyPairProblem) {
    const auto& p = tls_test::pki();
    ASSERT_TRUE(p.ok);
    const std::string nowhere = p.directory + "/absent.pem";
    struct Row {
        const char* what;
        std::string certificate;
        std::string key;
    };
    const Row rows[] = {
        {"certificate file absent", nowhere, p.selfKey},
        {"key file absent", p.selfCertificate, nowhere},
        {"key of another pair", p.selfCertificate, p.otherKey},
        {"leaf key with the self-signed certificate", p.selfCertificate, p.leafKey},
        {"garbage certificate", p.garbage, p.selfKey},
        {"garbage key", p.selfCertificate, p.garbage},
        {"key given as certificate", p.selfKey, p.selfKey},
        {"directory as certificate", p.directory, p.selfKey},
    };
    for (const auto& row : rows) {
        CaptureStderr();
        EXPECT_EQ(serverFailure(row.certificate, row.key), kKeyPair) << row.what;
        const std::string diagnostics = GetCapturedStderr();
        EXPECT_NE(diagnostics.find("(SSL) "), std::string::npos) << row.what;
    }
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
