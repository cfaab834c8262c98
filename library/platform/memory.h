// Platform: handing memory the process no longer uses back to the system.
// The C library keeps freed blocks for reuse, and blocks freed between
// blocks still in use keep their pages resident; returnFreeMemory() gives
// those pages back (a walk over the heap: call it rarely, when a burst of
// freeing is over). Any thread; never fails.
//
// Pages of their own serve a large block whose contents are not needed
// while it rests (a frame buffer between frames): discardPages lets the
// system take back their memory without unmapping them.
#pragma once

#include <cstddef>

namespace platform {

void returnFreeMemory();

// Zero-filled pages for bytes (rounded up to whole pages), null when the
// system has none.
void* mapPages(std::size_t bytes);
// Gives back pages from mapPages(bytes).
void unmapPages(void* pages, std::size_t bytes);
// The contents of pages from mapPages(bytes) are no longer needed: they
// stay usable, and read as zeros or as they were when next touched.
void discardPages(void* pages, std::size_t bytes);

}  // namespace platform
