// Net (internal): what a socket BIO (socket_bio.h) keeps of its socket, in
// a header of its own so that a TLS session can hold it without including
// OpenSSL.
#pragma once

namespace tls_detail {

struct SocketBioState {
    int fd = -1;
    int lastError = 0;  // errno of the last failed send or receive, 0 for none
};

}  // namespace tls_detail
