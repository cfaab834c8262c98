// Message engine: the byte strings and output queues that a thread's
// connections let go of (an input buffer between requests, an answer's head
// once sent), kept for the next one that needs them. A loop serves one
// connection at a time, so a few spares serve all of its connections, and
// a keep-alive request costs no new buffer while an idle connection still
// holds none. Bounded: at most `kept` of each kind per thread, none with
// more than `largest` bytes of capacity; the rest are freed.
//
// SpareBlockAllocator does the same for the memory of objects made again
// and again (a request, its answer: allocate_shared), by block size.
//
// Threads: each thread keeps its own spares; what one thread gives, another
// may take. Giving while the thread ends frees the buffer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "message/output_piece.h"

namespace spare_buffers {

inline constexpr std::size_t kept = 8;
inline constexpr std::size_t largest = 16 * 1024;

// An empty string, with the capacity of a spare when there is one.
std::string takeString();
// Keeps the string's storage for a later takeString (its bytes are dropped).
void give(std::string&& bytes);
// An empty queue, with the capacity of a spare when there is one.
std::vector<KoOutputPiece> takeQueue();
// Keeps the queue's storage (its pieces are dropped, their own bytes kept).
void give(std::vector<KoOutputPiece>&& queue);

// A block of size bytes (operator new's alignment): a spare one when the
// thread keeps one of that size.
void* takeBlock(std::size_t size);
// Keeps a block taken with takeBlock(size), or frees it.
void giveBlock(void* block, std::size_t size) noexcept;

template <typename T>
struct SpareBlockAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    using value_type = T;
    SpareBlockAllocator() = default;
    template <typename U>
    SpareBlockAllocator(const SpareBlockAllocator<U>&) {}
    T* allocate(std::size_t count) { return static_cast<T*>(takeBlock(count * sizeof(T))); }
    void deallocate(T* block, std::size_t count) noexcept { giveBlock(block, count * sizeof(T)); }
    template <typename U>
    bool operator==(const SpareBlockAllocator<U>&) const { return true; }
};

}  // namespace spare_buffers
