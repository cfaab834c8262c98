#include "http2/http2_memory.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/memory.h"

namespace {

// Each block starts with its class (or bigClass), kept at the alignment
// malloc gives, so that what nghttp2 gets is as aligned as malloc's.
constexpr std::size_t headerSize = alignof(std::max_align_t);
constexpr std::size_t bigClass = ~std::size_t{0};

// Steps of a half power of two: a block rounded up to its class wastes at
// most a third of itself (a quarter on average), not a half. Blocks that
// nghttp2 keeps while the session rests (its HPACK entries, some 50 to 100
// bytes each) are made from these classes too.
constexpr std::size_t classSizes[] = {32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096};
static_assert(std::size(classSizes) == KoHttp2Memory::classCount);
static_assert(classSizes[std::size(classSizes) - 1] == KoHttp2Memory::largestKept);

std::size_t ClassBytes(std::size_t index) { return classSizes[index]; }

// The class that holds size bytes and the header, or bigClass.
std::size_t ClassOf(std::size_t size) {
    if (size > KoHttp2Memory::largestKept - headerSize) return bigClass;
    std::size_t index = 0;
    while (classSizes[index] < size + headerSize) ++index;
    return index;
}

std::size_t& HeaderOf(void* block) { return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - headerSize); }

}  // namespace

KoHttp2Memory::~KoHttp2Memory() {
    release();
    // nghttp2 frees its buffers when the session goes; this is for one that
    // never did.
    for (const Paged& block : paged_) platform::unmapPages(block.at, block.bytes);
}

std::vector<KoHttp2Memory::Paged>::iterator KoHttp2Memory::findPaged(void* block) {
    auto it = paged_.begin();
    while (it != paged_.end() && it->at != block) ++it;
    return it;
}

void* KoHttp2Memory::page(std::size_t size) {
    void* at = platform::mapPages(size);
    if (at == nullptr) return nullptr;
    try {
        paged_.push_back(Paged{at, size});
    } catch (...) {
        platform::unmapPages(at, size);
        return nullptr;
    }
    return at;
}

void KoHttp2Memory::rest() {
    for (const Paged& block : paged_) platform::discardPages(block.at, block.bytes);
}

std::size_t KoHttp2Memory::pagedBytes() const {
    std::size_t bytes = 0;
    for (const Paged& block : paged_) bytes += block.bytes;
    return bytes;
}

void* KoHttp2Memory::allocate(std::size_t size) {
    if (building_ && size >= pagedBlock) {
        if (void* paged = page(size)) return paged;  // else an ordinary block
    }
    // A block made while building lasts as long as the session: rounded up
    // to a class it would waste up to half of itself (the session's 2.9 KiB
    // struct took 4 KiB, each 1 KiB header table 2 KiB).
    const std::size_t index = building_ ? bigClass : ClassOf(size);
    char* raw = nullptr;
    if (index != bigClass && lists_[index] != nullptr) {
        FreeBlock* block = lists_[index];
        lists_[index] = block->next;
        keptBytes_ -= ClassBytes(index);
        raw = reinterpret_cast<char*>(block);
    } else {
        raw = static_cast<char*>(std::malloc(index == bigClass ? size + headerSize : ClassBytes(index)));
        if (raw == nullptr) return nullptr;
    }
    *new (raw) std::size_t = index;
    return raw + headerSize;
}

void* KoHttp2Memory::allocateZeroed(std::size_t count, std::size_t size) {
    if (size != 0 && count > (~std::size_t{0} - headerSize) / size) return nullptr;
    if (building_ && count * size >= pagedBlock) {
        if (void* paged = page(count * size)) return paged;  // fresh pages are zeros
    }
    void* block = allocate(count * size);
    if (block != nullptr) std::memset(block, 0, count * size);
    return block;
}

void* KoHttp2Memory::reallocate(void* block, std::size_t size) {
    if (block == nullptr) return allocate(size);
    if (const auto found = findPaged(block); found != paged_.end()) {
        if (size <= found->bytes && size != 0) return block;
        // Grown past its pages: an ordinary block from now on.
        void* moved = allocate(size == 0 ? 1 : size);
        if (moved == nullptr) return nullptr;
        std::memcpy(moved, block, found->bytes < size ? found->bytes : size);
        platform::unmapPages(found->at, found->bytes);
        paged_.erase(found);
        return moved;
    }
    const std::size_t index = HeaderOf(block);
    if (index == bigClass) {
        char* raw = static_cast<char*>(std::realloc(static_cast<char*>(block) - headerSize, size + headerSize));
        return raw == nullptr ? nullptr : raw + headerSize;
    }
    const std::size_t room = ClassBytes(index) - headerSize;
    if (size <= room) return block;
    void* grown = allocate(size);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, block, room);
    free(block);
    return grown;
}

void KoHttp2Memory::free(void* block) {
    if (block == nullptr) return;
    if (const auto found = findPaged(block); found != paged_.end()) {
        platform::unmapPages(found->at, found->bytes);
        paged_.erase(found);
        return;
    }
    char* raw = static_cast<char*>(block) - headerSize;
    const std::size_t index = HeaderOf(block);
    if (index == bigClass || keptBytes_ + ClassBytes(index) > keptBound) {
        std::free(raw);
        return;
    }
    lists_[index] = new (raw) FreeBlock{lists_[index]};
    keptBytes_ += ClassBytes(index);
}

void KoHttp2Memory::release() {
    for (FreeBlock*& list : lists_) {
        while (list != nullptr) {
            FreeBlock* next = list->next;
            std::free(list);
            list = next;
        }
    }
    keptBytes_ = 0;
}

void* KoHttp2Memory::Malloc(std::size_t size, void* user) { return static_cast<KoHttp2Memory*>(user)->allocate(size); }

void KoHttp2Memory::Free(void* block, void* user) { static_cast<KoHttp2Memory*>(user)->free(block); }

void* KoHttp2Memory::Calloc(std::size_t count, std::size_t size, void* user) {
    return static_cast<KoHttp2Memory*>(user)->allocateZeroed(count, size);
}

void* KoHttp2Memory::Realloc(void* block, std::size_t size, void* user) {
    return static_cast<KoHttp2Memory*>(user)->reallocate(block, size);
}
