// Counts the calls of the global operator new in the benchmark host: every
// C++ allocation of the process (the library's included) goes through these.
// C libraries (nghttp2, OpenSSL) call malloc directly: malloc, calloc and
// realloc are counted too, by replacing them with glibc's own entry points
// (operator new's calls are among them). The counters are read by
// bench_host's "allocations" command.
// The heap in use is read by its "heap" command.
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "allocation_counter.h"

// A sanitizer's runtime owns malloc: replacing it there crashes the host
// at its first allocation, so a sanitizer build counts operator new alone.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELKO_COUNT_MALLOC 0
#else
#define VELKO_COUNT_MALLOC 1
#endif

#if VELKO_COUNT_MALLOC
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
}
#endif

namespace {

std::atomic<unsigned long long> calls{0};
std::atomic<unsigned long long> mallocs{0};

void* Allocate(std::size_t size) {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    for (;;) {
        if (void* p = std::malloc(size)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    calls.fetch_add(1, std::memory_order_relaxed);
    const std::size_t align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    for (;;) {
        if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

}  // namespace

unsigned long long AllocationsSoFar() { return calls.load(std::memory_order_relaxed); }
unsigned long long MallocsSoFar() { return mallocs.load(std::memory_order_relaxed); }

#if VELKO_COUNT_MALLOC
extern "C" void* malloc(std::size_t size) {
    mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
    mallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
extern "C" void free(void* p) { __libc_free(p); }
#endif

unsigned long long HeapBytesInUse() {
    // The C library's count covers OpenSSL's and nghttp2's malloc calls too.
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
}

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
