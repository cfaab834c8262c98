#include "net/digest.h"

#include <openssl/evp.h>

#include "foundation/exception.h"

std::string sha1Digest(std::string_view bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        throw KoException("SHA-1 is not available", __LINE__, "src");
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}
