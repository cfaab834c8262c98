#include "platform/process_limits.h"

#include <algorithm>
#include <atomic>

namespace platform {

// Windows sets no per-process limit on sockets and handles that a process
// could read or raise; the limit kept here is what the servers size their
// connection counts by (the readiness wait's cost grows with what it watches).
namespace {
std::atomic<std::size_t> limit{16384};
}  // namespace

std::size_t descriptorLimit() { return limit.load(); }

std::size_t raiseDescriptorLimit(std::size_t wanted) {
    std::size_t now = limit.load();
    while (now < wanted && !limit.compare_exchange_weak(now, wanted)) {
    }
    return limit.load();
}

// A limit that the system would not enforce is refused.
bool setDescriptorLimit(std::size_t) { return false; }

}  // namespace platform
