#include "net/openssl_errors.h"

#include <openssl/err.h>

namespace tls_detail {

void clearErrors() {
    // Before every read and write: an empty queue, the usual case, is only
    // looked at, not wiped entry by entry.
    if (ERR_peek_error() != 0) ERR_clear_error();
}

std::string takeErrors(const std::string& fallback) {
    std::string text;
    char buffer[256];
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text.empty() ? fallback : text;
}

}  // namespace tls_detail
