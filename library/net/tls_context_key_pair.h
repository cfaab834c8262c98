// Net (internal): why a certificate file and a private key file do not make
// a key pair, in words a host can act on, and the pass-phrase callback that
// keeps OpenSSL from asking for one on the terminal. Only tls_context.cpp
// uses it. Any thread; throws nothing.
#pragma once

#include <string>

namespace tls_detail {

// What OpenSSL asks for a pass phrase through: the one given (empty: none)
// and whether it was asked at all, which tells an encrypted key.
struct PassphraseRequest {
    std::string passphrase;
    bool asked = false;
};

// OpenSSL's pem_password_cb. With a request it answers its pass phrase (or
// refuses for an empty one) and marks it asked; without one (null) it
// refuses. Never reads the terminal.
int answerPassphrase(char* buffer, int size, int writing, void* request);

// Why the certificate file could not be loaded (keyFile is looked at to tell
// swapped files).
std::string certificateProblem(const std::string& certificateFile, const std::string& keyFile);

// Why the private key file could not be loaded, once the certificate has.
std::string privateKeyProblem(const std::string& certificateFile, const std::string& keyFile,
                              const PassphraseRequest& request);

// The key loaded but belongs to another certificate.
std::string mismatchProblem(const std::string& certificateFile, const std::string& keyFile);

}  // namespace tls_detail
