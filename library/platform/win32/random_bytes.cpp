#include "platform/random_bytes.h"

#include <limits>

#include "platform/win32/windows_headers.h"

#include <bcrypt.h>

namespace platform {

bool fillRandomBytes(std::span<unsigned char> out) {
    if (out.size() > std::numeric_limits<ULONG>::max()) return false;
    return BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace platform
