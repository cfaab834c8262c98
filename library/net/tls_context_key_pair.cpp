#include "net/tls_context_key_pair.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>

#include "net/openssl_errors.h"
#include "platform/file_system.h"

namespace tls_detail {

namespace {

// What the PEM blocks of a file are, as far as telling a certificate file
// from a key file goes.
struct PemContents {
    std::string unreadable;  // why the file cannot be read; empty when it can
    bool directory = false;
    bool certificate = false;
    bool privateKey = false;
    bool encryptedKey = false;
};

struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// Enough for a certificate chain; a longer file is judged by its start.
constexpr int kMostBlocks = 64;

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

PemContents inspect(const std::string& path) {
    PemContents contents;
    const auto status = platform::fileStatus(path);
    if (!status.ok()) {
        contents.unreadable = status.error().text();
        return contents;
    }
    if (status.value().directory) {
        contents.directory = true;
        return contents;
    }
    if (const auto opened = platform::openError(path); !opened.ok()) {
        contents.unreadable = opened.text();
        return contents;
    }
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
        contents.unreadable = "it cannot be opened";
        return contents;
    }
    for (int i = 0; i < kMostBlocks; ++i) {
        char* name = nullptr;
        char* header = nullptr;
        unsigned char* data = nullptr;
        long length = 0;
        // Reads the block as it stands: an encrypted one is not decrypted.
        if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) break;
        const std::string type = name;
        const bool encryptedHeader = header != nullptr && std::strstr(header, "ENCRYPTED") != nullptr;
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_free(data);
        if (type == "CERTIFICATE" || type == "TRUSTED CERTIFICATE" || type == "X509 CERTIFICATE") {
            contents.certificate = true;
        } else if (endsWith(type, "PRIVATE KEY")) {
            contents.privateKey = true;
            if (type == "ENCRYPTED PRIVATE KEY" || encryptedHeader) contents.encryptedKey = true;
        }
    }
    // The end of the file (or its first non-PEM text) leaves an entry.
    clearErrors();
    return contents;
}

bool loadsAlone(const std::string& keyFile, const std::string& passphrase) {
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_file(keyFile.c_str(), "r"));
    if (!bio) return false;
    PassphraseRequest request{passphrase, false};
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, answerPassphrase, &request);
    const bool loaded = key != nullptr;
    EVP_PKEY_free(key);
    clearErrors();
    return loaded;
}

std::string unusable(const std::string& role, const std::string& path, const PemContents& contents) {
    if (!contents.unreadable.empty()) return "cannot read the " + role + " file " + path + ": " + contents.unreadable;
    if (contents.directory) return "the " + role + " file " + path + " is a directory";
    return {};
}

}  // namespace

int answerPassphrase(char* buffer, int size, int, void* request) {
    auto* asked = static_cast<PassphraseRequest*>(request);
    if (asked == nullptr) return -1;
    asked->asked = true;
    const std::string& passphrase = asked->passphrase;
    if (passphrase.empty() || size <= 0 || passphrase.size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, passphrase.data(), passphrase.size());
    return static_cast<int>(passphrase.size());
}

std::string certificateProblem(const std::string& certificateFile, const std::string& keyFile) {
    const PemContents certificate = inspect(certificateFile);
    if (std::string problem = unusable("certificate", certificateFile, certificate); !problem.empty()) return problem;
    if (!certificate.certificate && certificate.privateKey) {
        const PemContents key = inspect(keyFile);
        if (key.certificate && !key.privateKey) {
            return "the certificate and key files are swapped: " + certificateFile + " holds a private key, " +
                   keyFile + " a certificate";
        }
        return certificateFile + " holds a private key, not a certificate";
    }
    if (!certificate.certificate) return certificateFile + " holds no PEM certificate";
    return "the certificate in " + certificateFile + " cannot be used";
}

std::string privateKeyProblem(const std::string& certificateFile, const std::string& keyFile,
                              const PassphraseRequest& request) {
    const PemContents key = inspect(keyFile);
    if (std::string problem = unusable("private key", keyFile, key); !problem.empty()) return problem;
    if (request.asked || key.encryptedKey) {
        if (request.passphrase.empty()) return "the private key in " + keyFile + " is encrypted and no pass phrase was given";
        return "the pass phrase does not decrypt the private key in " + keyFile;
    }
    if (!key.privateKey && key.certificate) return keyFile + " holds a certificate, not a private key";
    if (!key.privateKey) return keyFile + " holds no PEM private key";
    // OpenSSL refuses a key that does not match the certificate loaded
    // before it; a key that loads on its own is one of another pair.
    if (loadsAlone(keyFile, request.passphrase)) return mismatchProblem(certificateFile, keyFile);
    return "the private key in " + keyFile + " cannot be used";
}

std::string mismatchProblem(const std::string& certificateFile, const std::string& keyFile) {
    return "the private key in " + keyFile + " does not belong to the certificate in " + certificateFile;
}

}  // namespace tls_detail
