#include "platform/random_bytes.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>

namespace platform {

bool fillRandomBytes(std::span<unsigned char> out) {
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t got = ::getrandom(out.data() + filled, out.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace platform
