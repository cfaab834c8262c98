// Net (internal): an OpenSSL BIO that reads and writes a socket descriptor
// through platform::receiveSome / platform::sendSome, so that TLS traffic
// gets the platform's guarantees (a write to a closed peer never raises
// SIGPIPE, interrupted calls are retried) and no system header is needed.
//
// The BIO does not own the descriptor; closing the BIO leaves it open. A
// would-block condition is reported to OpenSSL as a retry, which surfaces
// as SSL_ERROR_WANT_READ / SSL_ERROR_WANT_WRITE. The errno of the last failed
// call is kept in the SocketBioState the BIO points at.
//
// Two savings of system calls, both told by the state: a read after the
// socket was found drained is answered would-block at once (see mayRead),
// and corked writes are held and sent together with the next one.
#pragma once

#include <openssl/bio.h>

#include "net/socket_bio_state.h"

namespace tls_detail {

// A new BIO over state (which must outlive it), or null when OpenSSL could
// not make one.
BIO* newSocketBio(SocketBioState* state);

enum class HeldFlush { empty, wouldBlock, failed };

// Sends what state holds, as far as the socket takes it at once.
HeldFlush flushHeld(SocketBioState& state);

}  // namespace tls_detail
