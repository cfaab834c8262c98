// Net (internal): what a socket BIO (socket_bio.h) keeps of its socket, in
// a header of its own so that a TLS session can hold it without including
// OpenSSL.
#pragma once

#include <string>

namespace tls_detail {

struct SocketBioState {
    int fd = -1;
    int lastError = 0;  // errno of the last failed send or receive, 0 for none
    // False once a receive found the socket drained (a short read, or none
    // at all): further reads report would-block without asking the system
    // until the owner learns of new input from its readiness wait, which
    // (level-triggered) reports bytes that arrived meanwhile.
    bool mayRead = true;
    // While corked, writes are held instead of sent; held bytes go out in
    // front of the next write, in the same send, or by flushHeld().
    bool corked = false;
    std::string held;
};

}  // namespace tls_detail
