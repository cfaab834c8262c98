#include "platform/random_bytes.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "platform/win32/windows_headers.h"

#include <bcrypt.h>

namespace platform {

bool fillRandomBytes(std::span<unsigned char> out) {
    // An empty span may carry a null buffer, which BCryptGenRandom refuses;
    // a call takes at most a ULONG's worth.
    while (!out.empty()) {
        const std::size_t step = std::min<std::size_t>(out.size(), std::numeric_limits<ULONG>::max());
        if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(step),
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        out = out.subspan(step);
    }
    return true;
}

}  // namespace platform
