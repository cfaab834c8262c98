#include "net/tls_context.h"

#include <openssl/ssl.h>

#include <atomic>
#include <iostream>

#include "foundation/exception.h"
#include "net/openssl_errors.h"

namespace {

std::atomic<std::int64_t> addOns{0};

constexpr const char* kSource = "kotransceiver";

void restrictVersions(SSL_CTX* context) {
    // The system configuration may allow older versions; never below 1.2.
    if (SSL_CTX_get_min_proto_version(context) < TLS1_2_VERSION) {
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    }
}

// TLS 1.2 suites: forward secrecy and authenticated encryption only (no CBC,
// whose padding checks leak timing), best first. TLS 1.3 keeps its own set.
constexpr const char* kServerSuites12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

bool restrictServerSuites(SSL_CTX* context) {
    SSL_CTX_set_options(context, SSL_OP_CIPHER_SERVER_PREFERENCE);
    return SSL_CTX_set_cipher_list(context, kServerSuites12) == 1;
}

}  // namespace

void KoTlsContext::Free::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

KoTlsContext::KoTlsContext(const std::string& certificateFile, const std::string& privateKeyFile)
    : certificateFile_(certificateFile), privateKeyFile_(privateKeyFile), serverRole_(true) {
    ++addOns;
    try {
        if (certificateFile_.empty() || privateKeyFile_.empty()) {
            throw KoException_SSL("can't find ca certificate and/or private key", 952, kSource);
        }
        tls_detail::clearErrors();
        context_.reset(SSL_CTX_new(TLS_server_method()));
        if (!context_) {
            tls_detail::takeErrors("");
            throw KoException_SSL("problem with SSL method initialization", 957, kSource);
        }
        restrictVersions(context_.get());
        if (!restrictServerSuites(context_.get())) {
            tls_detail::takeErrors("");
            throw KoException_SSL("problem with SSL method initialization", 957, kSource);
        }
        // A chain file holds the leaf first, then its issuers.
        SSL_CTX* context = context_.get();
        const char* failed = nullptr;
        if (SSL_CTX_use_certificate_chain_file(context, certificateFile_.c_str()) != 1) {
            failed = certificateFile_.c_str();
        } else if (SSL_CTX_use_PrivateKey_file(context, privateKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
            failed = privateKeyFile_.c_str();
        } else if (SSL_CTX_check_private_key(context) != 1) {
            // A key that does not match is taken quietly (the certificate is
            // dropped instead); only the check notices.
            failed = privateKeyFile_.c_str();
        }
        if (failed != nullptr) {
            std::cerr << "(SSL) " << failed << ": " << tls_detail::takeErrors("rejected") << std::endl;
            throw KoException_SSL("problem with SSL key pair", 963, kSource);
        }
    } catch (const KoException_SSL&) {
        context_.reset();
        --addOns;
        throw;
    }
}

KoTlsContext::KoTlsContext() : serverRole_(false) {
    ++addOns;
    tls_detail::clearErrors();
    context_.reset(SSL_CTX_new(TLS_client_method()));
    if (!context_) {
        tls_detail::takeErrors("");
        throw KoException_SSL("problem with SSL method initialization (client)", 999, kSource);
    }
    restrictVersions(context_.get());
}

void KoTlsContext::verifyPeers(const std::string& caFile) {
    if (serverRole_) return;  // client certificates are not asked for
    tls_detail::clearErrors();
    const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(context_.get())
                                      : SSL_CTX_load_verify_locations(context_.get(), caFile.c_str(), nullptr);
    if (loaded != 1) {
        std::cerr << "(SSL) " << caFile << ": " << tls_detail::takeErrors("rejected") << std::endl;
        throw KoException_SSL("problem with SSL trust store", 0, kSource);
    }
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
    verifiesPeers_ = true;
}

KoTlsContext::~KoTlsContext() = default;

std::int64_t KoTlsContext::addOnCount() { return addOns.load(); }
