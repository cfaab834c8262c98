// Platform: the process's limit on open descriptors (RLIMIT_NOFILE).
//
// Servers size their connection limit below it; tests that open thousands
// of loopback connections raise it. Any thread may call these; nothing
// throws.
#pragma once

#include <cstddef>

namespace platform {

// The current soft limit on open descriptors (a large number when there is
// none).
std::size_t descriptorLimit();

// Raises the soft limit to at least wanted, as far as the hard limit allows;
// never lowers it. Returns the soft limit now in force.
std::size_t raiseDescriptorLimit(std::size_t wanted);

// Sets the soft limit (at most the hard limit); false when refused. Tests
// use it to run the process out of descriptors.
bool setDescriptorLimit(std::size_t limit);

}  // namespace platform
