#include "http2/http2_session_memory.h"

#include <cstdlib>
#include <cstring>

#include "platform/memory.h"

KoHttp2SessionMemory::~KoHttp2SessionMemory() {
    // nghttp2 frees its buffers when the session goes; this is for one that
    // never did.
    for (const Paged& block : paged_) platform::unmapPages(block.at, block.bytes);
}

std::vector<KoHttp2SessionMemory::Paged>::iterator KoHttp2SessionMemory::find(void* block) {
    auto it = paged_.begin();
    while (it != paged_.end() && it->at != block) ++it;
    return it;
}

void* KoHttp2SessionMemory::page(std::size_t size) {
    void* at = platform::mapPages(size);
    if (at == nullptr) return std::malloc(size);  // no pages: an ordinary block
    try {
        paged_.push_back(Paged{at, size});
    } catch (...) {
        platform::unmapPages(at, size);
        return nullptr;
    }
    return at;
}

void KoHttp2SessionMemory::rest() {
    for (const Paged& block : paged_) platform::discardPages(block.at, block.bytes);
}

std::size_t KoHttp2SessionMemory::pagedBytes() const {
    std::size_t bytes = 0;
    for (const Paged& block : paged_) bytes += block.bytes;
    return bytes;
}

void* KoHttp2SessionMemory::allocate(std::size_t size) {
    if (building_ && size >= pagedBlock) return page(size);
    return std::malloc(size);
}

void* KoHttp2SessionMemory::allocateZeroed(std::size_t count, std::size_t size) {
    if (building_ && size != 0 && count >= pagedBlock / size) {
        if (count > static_cast<std::size_t>(-1) / size) return nullptr;
        return page(count * size);  // fresh pages are zeros
    }
    return std::calloc(count, size);
}

void* KoHttp2SessionMemory::reallocate(void* block, std::size_t size) {
    if (block == nullptr) return allocate(size);
    const auto found = find(block);
    if (found == paged_.end()) return std::realloc(block, size);
    if (size <= found->bytes && size != 0) return block;
    // Grown past its pages: an ordinary block from now on.
    void* moved = std::malloc(size == 0 ? 1 : size);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, found->bytes < size ? found->bytes : size);
    platform::unmapPages(found->at, found->bytes);
    paged_.erase(found);
    return moved;
}

void KoHttp2SessionMemory::release(void* block) {
    if (block == nullptr) return;
    const auto found = find(block);
    if (found == paged_.end()) {
        std::free(block);
        return;
    }
    platform::unmapPages(found->at, found->bytes);
    paged_.erase(found);
}
