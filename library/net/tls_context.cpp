#include "net/tls_context.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <atomic>
#include <memory>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "net/openssl_errors.h"
#include "net/tls_context_key_pair.h"
#include "net/tls_ticket_keys.h"

namespace {

std::atomic<std::int64_t> addOns{0};

constexpr const char* kSource = "kotransceiver";

// OpenSSL's default would read a pass phrase from the terminal, and wait
// there, from inside the host's process.
void neverPrompt(SSL_CTX* context) {
    SSL_CTX_set_default_passwd_cb(context, tls_detail::answerPassphrase);
    SSL_CTX_set_default_passwd_cb_userdata(context, nullptr);
}

void restrictVersions(SSL_CTX* context) {
    // The system configuration may allow older versions; never below 1.2.
    if (SSL_CTX_get_min_proto_version(context) < TLS1_2_VERSION) {
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    }
}

// TLS 1.2 suites: forward secrecy and authenticated encryption only (no CBC,
// whose padding checks leak timing), best first.
constexpr const char* kServerSuites12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// TLS 1.3 suites: all three, in the order of the 1.2 list. AES-128-GCM
// first: its SHA-256 key schedule runs on the processor's SHA instructions
// where SHA-384 has none, and its records take fewer AES rounds.
constexpr const char* kServerSuites13 = "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";

bool restrictServerSuites(SSL_CTX* context) {
    SSL_CTX_set_options(context, SSL_OP_CIPHER_SERVER_PREFERENCE);
    return SSL_CTX_set_cipher_list(context, kServerSuites12) == 1 &&
           SSL_CTX_set_ciphersuites(context, kServerSuites13) == 1;
}

constexpr std::size_t kTicketsPerHandshake = 1;

// Where a context keeps its ticket keys for the callback below.
int ticketKeysIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

bool setMacKey(EVP_MAC_CTX* mac, const KoTlsTicketKeys::Key& key) {
    char digest[] = "SHA256";
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_octet_string(OSSL_MAC_PARAM_KEY, const_cast<unsigned char*>(key.macKey.data()),
                                          key.macKey.size()),
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    return EVP_MAC_CTX_set_params(mac, parameters) == 1;
}

// OpenSSL asks it to seal a new ticket (sealing) or to open one a client
// offers: 1 done, 2 opened with an old key (issue a new ticket), 0 no key
// for it (a full handshake), -1 failure.
int ticketKeyCallback(SSL* tls, unsigned char keyName[16], unsigned char iv[EVP_MAX_IV_LENGTH],
                      EVP_CIPHER_CTX* cipher, EVP_MAC_CTX* mac, int sealing) {
    auto* keys = static_cast<KoTlsTicketKeys*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(tls), ticketKeysIndex()));
    if (keys == nullptr) return 0;  // the context is going: no ticket
    try {
        if (sealing == 1) {
            const KoTlsTicketKeys::Key key = keys->forSealing();
            if (RAND_bytes(iv, EVP_CIPHER_get_iv_length(EVP_aes_256_cbc())) != 1) return -1;
            std::copy(key.name.begin(), key.name.end(), keyName);
            if (EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, key.cipherKey.data(), iv) != 1) return -1;
            return setMacKey(mac, key) ? 1 : -1;
        }
        const auto opening = keys->forOpening(keyName);
        if (!opening) return 0;
        if (EVP_DecryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, opening->key.cipherKey.data(), iv) != 1) return -1;
        if (!setMacKey(mac, opening->key)) return -1;
        return opening->renew ? 2 : 1;
    } catch (...) {
        return -1;
    }
}

}  // namespace

void KoTlsContext::Free::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

KoTlsKeyPairError::KoTlsKeyPairError(std::string cause)
    : KoException_SSL("problem with SSL key pair", 963, kSource), cause_(std::move(cause)) {}

KoTlsContext::KoTlsContext(const std::string& certificateFile, const std::string& privateKeyFile,
                           const std::string& passphrase)
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
        neverPrompt(context_.get());
        restrictVersions(context_.get());
        if (!restrictServerSuites(context_.get())) {
            tls_detail::takeErrors("");
            throw KoException_SSL("problem with SSL method initialization", 957, kSource);
        }
        SSL_CTX* context = context_.get();
        tls_detail::PassphraseRequest request{passphrase, false};
        SSL_CTX_set_default_passwd_cb_userdata(context, &request);
        std::string cause;
        std::string reasons;
        // A chain file holds the leaf first, then its issuers.
        if (SSL_CTX_use_certificate_chain_file(context, certificateFile_.c_str()) != 1) {
            reasons = tls_detail::takeErrors("");
            cause = tls_detail::certificateProblem(certificateFile_, privateKeyFile_);
        } else if (SSL_CTX_use_PrivateKey_file(context, privateKeyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
            reasons = tls_detail::takeErrors("");
            cause = tls_detail::privateKeyProblem(certificateFile_, privateKeyFile_, request);
        } else if (SSL_CTX_check_private_key(context) != 1) {
            // A key that does not match is taken quietly (the certificate is
            // dropped instead); only the check notices.
            reasons = tls_detail::takeErrors("");
            cause = tls_detail::mismatchProblem(certificateFile_, privateKeyFile_);
        }
        // The request lives on this stack only.
        SSL_CTX_set_default_passwd_cb_userdata(context, nullptr);
        if (!cause.empty()) {
            diagnostic("(SSL) problem with SSL key pair: " + cause + (reasons.empty() ? "" : " (" + reasons + ")"));
            throw KoTlsKeyPairError(cause);
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
    neverPrompt(context_.get());
    restrictVersions(context_.get());
}

void KoTlsContext::verifyPeers(const std::string& caFile) {
    if (serverRole_) return;  // client certificates are not asked for
    tls_detail::clearErrors();
    const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(context_.get())
                                      : SSL_CTX_load_verify_locations(context_.get(), caFile.c_str(), nullptr);
    if (loaded != 1) {
        diagnostic("(SSL) " + caFile + ": " + tls_detail::takeErrors("rejected"));
        throw KoException_SSL("problem with SSL trust store", 0, kSource);
    }
    SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, nullptr);
    verifiesPeers_ = true;
}

namespace {

struct FreeNames {
    void operator()(STACK_OF(X509_NAME)* names) const { sk_X509_NAME_pop_free(names, X509_NAME_free); }
};

// Optional certificates: a bad one is recorded, not fatal.
int acceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }

}  // namespace

void KoTlsContext::verifyClients(KoClientCertificateCheck check, const std::string& caFile, int depth) {
    if (!serverRole_ || !context_ || check == KoClientCertificateCheck::off) return;
    SSL_CTX* context = context_.get();
    tls_detail::clearErrors();
    std::unique_ptr<STACK_OF(X509_NAME), FreeNames> names(caFile.empty() ? nullptr
                                                                        : SSL_load_client_CA_file(caFile.c_str()));
    if (!names || SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
        diagnostic("(SSL) client CA file " + caFile + ": " + tls_detail::takeErrors("no certificate in it"));
        throw KoException_SSL("problem with SSL trust store", 0, kSource);
    }
    SSL_CTX_set_client_CA_list(context, names.release());  // the context owns them now
    SSL_CTX_set_verify_depth(context, depth < 0 ? 0 : depth);
    if (check == KoClientCertificateCheck::required) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    } else {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, acceptAnyCertificate);
    }
    // Without a context OpenSSL refuses to resume a session whose peer was
    // verified (and fails the handshake); sessions of another server, whose
    // tickets its keys cannot open, are never resumed here anyway.
    static constexpr unsigned char kSessionContext[] = "velkotwo client certificates";
    SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
}

void KoTlsContext::enableResumption(std::size_t cacheSize, std::chrono::seconds ticketKeyLifetime) {
    if (!serverRole_ || !context_) return;
    SSL_CTX* context = context_.get();
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(context, static_cast<long>(cacheSize));
    // TLS 1.3: one ticket per full handshake, not OpenSSL's two. A client
    // resumes one connection with it (and may resume with it again); each
    // ticket costs an encoding, a sealing and a record.
    SSL_CTX_set_num_tickets(context, kTicketsPerHandshake);
    ticketKeys_ = std::make_unique<KoTlsTicketKeys>(ticketKeyLifetime);
    SSL_CTX_set_ex_data(context, ticketKeysIndex(), ticketKeys_.get());
    SSL_CTX_set_tlsext_ticket_key_evp_cb(context, ticketKeyCallback);
}

KoTlsContext::~KoTlsContext() {
    // Sessions made from it may still hold the library context; they find
    // no keys once the store is gone.
    if (context_) SSL_CTX_set_ex_data(context_.get(), ticketKeysIndex(), nullptr);
}

namespace {

// ALPN lists: length-prefixed names, the server's preference first.
constexpr unsigned char kHttp2AndHttp11[] = "\x02h2\x08http/1.1";
constexpr unsigned char kHttp11Only[] = "\x08http/1.1";

int selectApplicationProtocol(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* offered,
                              unsigned int offeredLength, void* argument) {
    const bool http2 = argument != nullptr;
    const unsigned char* ours = http2 ? kHttp2AndHttp11 : kHttp11Only;
    const unsigned int oursLength = http2 ? sizeof kHttp2AndHttp11 - 1 : sizeof kHttp11Only - 1;
    unsigned char* chosen = nullptr;
    unsigned char chosenLength = 0;
    if (SSL_select_next_proto(&chosen, &chosenLength, ours, oursLength, offered, offeredLength) !=
        OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    *out = chosen;
    *outLength = chosenLength;
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

void KoTlsContext::offerApplicationProtocols(bool http2) {
    if (!serverRole_ || !context_) return;
    // The argument only says which list: any non-null pointer means h2.
    static int http2Marker = 0;
    SSL_CTX_set_alpn_select_cb(context_.get(), selectApplicationProtocol, http2 ? &http2Marker : nullptr);
}

std::int64_t KoTlsContext::addOnCount() { return addOns.load(); }
