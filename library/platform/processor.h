// Platform: the processors this process may run on (its CPU affinity, so a
// process started under `taskset -c 0` sees 1). Any thread; never fails:
// at least 1.
#pragma once

#include <cstddef>

namespace platform {

std::size_t usableProcessors();

}  // namespace platform
