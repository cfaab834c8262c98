#include "platform/memory.h"

#include <malloc.h>

#include "platform/win32/windows_headers.h"

namespace platform {

// The C run-time's heap hands its free pages back to the system.
void returnFreeMemory() { ::_heapmin(); }

void* mapPages(std::size_t bytes) { return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE); }

void unmapPages(void* pages, std::size_t) {
    if (pages != nullptr) ::VirtualFree(pages, 0, MEM_RELEASE);
}

// The pages stay committed; the system need not keep what they held.
void discardPages(void* pages, std::size_t bytes) {
    if (pages != nullptr) ::VirtualAlloc(pages, bytes, MEM_RESET, PAGE_READWRITE);
}

}  // namespace platform
