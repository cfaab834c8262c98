#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>

namespace platform {

void returnFreeMemory() { ::malloc_trim(0); }

void* mapPages(std::size_t bytes) {
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void unmapPages(void* pages, std::size_t bytes) {
    if (pages != nullptr) ::munmap(pages, bytes);
}

// Private anonymous pages read as zeros after this.
void discardPages(void* pages, std::size_t bytes) {
    if (pages != nullptr) ::madvise(pages, bytes, MADV_DONTNEED);
}

}  // namespace platform
