#include "server/layers/tls_layer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../net/tls_fixtures.h"
#include "foundation/exception.h"
#include "jobs/kessa_scheduler.h"
#include "message/server_header.h"
#include "message/transceiver.h"
#include "server/layers/https_layer.h"

namespace {

std::shared_ptr<KoXServerHeader> KeyHeader(const std::string& certificate, const std::string& key) {
    auto header = std::make_shared<KoXServerHeader>(4, true);
    header->entries["tcp_port"] = "0";
    header->entries["tcp_address"] = "127.0.0.1";
    if (!certificate.empty()) header->entries["cacertificate"] = certificate;
    if (!key.empty()) header->entries["privatekey"] = key;
    return header;
}

// What building an HTTPS layer from these entries throws ("" for nothing).
std::string HttpsFailure(const std::string& certificate, const std::string& key) {
    KoKessaScheduler2 scheduler;
    KoTransceiver transceiver(scheduler);
    try {
        KoTransceiverServerL1HTTPS layer(scheduler, transceiver, "client", "server", "tag",
                                         KeyHeader(certificate, key), nullptr, nullptr);
    } catch (const KoException_SSL& error) {
        return error.what();
    }
    return "";
}

class SslAddOn : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tls_test::pki().ok) GTEST_SKIP() << "the openssl command could not make test certificates";
    }
    const tls_test::Pki& pki = tls_test::pki();
};

}  // namespace

TEST_F(SslAddOn, EachSetUpErrorHasItsMessage) {
    const std::string missing = pki.directory + "/absent.pem";
    const struct {
        std::string certificate, key, message;
    } rows[] = {
        {pki.selfCertificate, "", "(SSL) can't find ca certificate and/or private key"},
        {"", pki.selfKey, "(SSL) can't find ca certificate and/or private key"},
        {"", "", "(SSL) can't find ca certificate and/or private key"},
        {pki.selfCertificate, pki.otherKey, "(SSL) problem with SSL key pair"},
        {missing, pki.selfKey, "(SSL) problem with SSL key pair"},
        {pki.selfCertificate, missing, "(SSL) problem with SSL key pair"},
        {pki.garbage, pki.selfKey, "(SSL) problem with SSL key pair"},
        {pki.selfKey, pki.selfCertificate, "(SSL) problem with SSL key pair"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(HttpsFailure(row.certificate, row.key), row.message) << row.certificate << " / " << row.key;
    }
}

TEST_F(SslAddOn, GoodPairsBuildTheLayer) {
    EXPECT_EQ(HttpsFailure(pki.selfCertificate, pki.selfKey), "");
    // A certificate file may hold the chain behind the leaf.
    EXPECT_EQ(HttpsFailure(pki.chainCertificate, pki.leafKey), "");
}

// A failed set-up used to be swallowed while another add-on existed, leaving
// a layer without a context whose every connection failed.
TEST_F(SslAddOn, FailureRaisesWhateverOtherAddOnsExist) {
    KoTransceiverServerL1_SSLAddon good(pki.selfCertificate, pki.selfKey);
    KoTransceiverServerL1_SSLAddon client;
    EXPECT_THROW(KoTransceiverServerL1_SSLAddon(pki.selfCertificate, pki.otherKey), KoException_SSL);
    EXPECT_EQ(HttpsFailure(pki.selfCertificate, ""), "(SSL) can't find ca certificate and/or private key");
}

TEST_F(SslAddOn, CountsBuiltAddOnsOnly) {
    const auto before = KoTransceiverServerL1_SSLAddon::addOnCount();
    {
        KoTransceiverServerL1_SSLAddon server(pki.selfCertificate, pki.selfKey);
        EXPECT_EQ(KoTransceiverServerL1_SSLAddon::addOnCount(), before + 1);
        KoTransceiverServerL1_SSLAddon client;
        EXPECT_EQ(KoTransceiverServerL1_SSLAddon::addOnCount(), before + 2);
    }
    // Destruction leaves the count; a failed server set-up takes its own back.
    EXPECT_EQ(KoTransceiverServerL1_SSLAddon::addOnCount(), before + 2);
    EXPECT_THROW(KoTransceiverServerL1_SSLAddon(pki.selfCertificate, pki.otherKey), KoException_SSL);
    EXPECT_EQ(KoTransceiverServerL1_SSLAddon::addOnCount(), before + 2);
}

TEST_F(SslAddOn, RolesAndFileNames) {
    auto header = KeyHeader(pki.selfCertificate, pki.selfKey);
    KoTransceiverServerL1_SSLAddon server(*header);
    EXPECT_TRUE(server.serverRole());
    EXPECT_EQ(server.certificateFile(), pki.selfCertificate);
    EXPECT_EQ(server.privateKeyFile(), pki.selfKey);
    KoTransceiverServerL1_SSLAddon client;
    EXPECT_FALSE(client.serverRole());
    EXPECT_TRUE(client.certificateFile().empty());
}
