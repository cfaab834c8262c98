#include "net/tls_peer_certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace {

struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeBignum {
    void operator()(BIGNUM* number) const { BN_free(number); }
};
struct FreeText {
    void operator()(char* text) const { OPENSSL_free(text); }
};

std::string rfc2253(const X509_NAME* name) {
    if (name == nullptr) return {};
    std::unique_ptr<BIO, FreeBio> out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0) return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 && data != nullptr ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string serialOf(const X509* certificate) {
    std::unique_ptr<BIGNUM, FreeBignum> number(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
    if (!number) return {};
    std::unique_ptr<char, FreeText> hex(BN_bn2hex(number.get()));
    return hex ? std::string(hex.get()) : std::string();
}

std::string sha256Of(const X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

}  // namespace

KoTlsPeerCertificate tls_detail::peerCertificateOf(SSL* tls) {
    KoTlsPeerCertificate peer;
    if (tls == nullptr || (SSL_get_verify_mode(tls) & SSL_VERIFY_PEER) == 0) return peer;
    const X509* certificate = SSL_get0_peer_certificate(tls);
    if (certificate == nullptr) {
        peer.verify = "NONE";
        return peer;
    }
    const long result = SSL_get_verify_result(tls);
    if (result != X509_V_OK) {
        peer.verify = std::string("FAILED:") + X509_verify_cert_error_string(result);
        return peer;
    }
    peer.verify = "SUCCESS";
    peer.subject = rfc2253(X509_get_subject_name(certificate));
    peer.issuer = rfc2253(X509_get_issuer_name(certificate));
    peer.serial = serialOf(certificate);
    peer.fingerprint = sha256Of(certificate);
    return peer;
}
