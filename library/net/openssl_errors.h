// Net (internal): OpenSSL's thread-local error queue as text. Only TLS code
// in this folder uses it.
#pragma once

#include <string>

namespace tls_detail {

// Empties the calling thread's error queue, so that SSL_get_error after the
// next call sees only that call's errors.
void clearErrors();

// Empties the queue and returns its entries as "reason; reason", or fallback
// when it held none.
std::string takeErrors(const std::string& fallback);

}  // namespace tls_detail
