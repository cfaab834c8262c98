// Platform: handing memory the process no longer uses back to the system.
// The C library keeps freed blocks for reuse, and blocks freed between
// blocks still in use keep their pages resident; returnFreeMemory() gives
// those pages back (a walk over the heap: call it rarely, when a burst of
// freeing is over). Any thread; never fails.
#pragma once

namespace platform {

void returnFreeMemory();

}  // namespace platform
