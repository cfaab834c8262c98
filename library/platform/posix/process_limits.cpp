#include "platform/process_limits.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>

namespace platform {

namespace {

std::size_t asSize(rlim_t value) {
    if (value == RLIM_INFINITY) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);
}

}  // namespace

std::size_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    return asSize(limit.rlim_cur);
}

std::size_t raiseDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (asSize(limit.rlim_cur) >= wanted) return asSize(limit.rlim_cur);
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY
                          ? static_cast<rlim_t>(wanted)
                          : std::min(static_cast<rlim_t>(wanted), limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return asSize(limit.rlim_cur);
    return asSize(raised.rlim_cur);
}

bool setDescriptorLimit(std::size_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                     : std::min(static_cast<rlim_t>(wanted), limit.rlim_max);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace platform
