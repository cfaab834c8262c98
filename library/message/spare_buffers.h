// Message engine: the byte strings and output queues that a thread's
// connections let go of (an input buffer between requests, an answer's head
// once sent), kept for the next one that needs them. A loop serves one
// connection at a time, so a few spares serve all of its connections, and
// a keep-alive request costs no new buffer while an idle connection still
// holds none. An HTTP/2 connection has dozens of streams in flight at once
// (a page's files), so there are enough for a page's worth of them.
// Bounded: at most `kept` of each kind per thread, none with more than
// `largest` bytes of capacity; the rest are freed.
//
// SpareBlockAllocator does the same for the memory of objects made again
// and again (a request, its answer: allocate_shared), by block size.
//
// Ownership and threads: the spares of a thread are kept by a ThreadSpares
// that the thread's body holds (an event loop's run), never by a
// thread_local object: the Windows toolchain frees a thread's locals before
// it runs their destructors. A thread without one keeps nothing: takes are
// new, gives are freed. What one thread gives, another may take.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "message/field_list.h"
#include "message/output_piece.h"

namespace spare_buffers {

inline constexpr std::size_t kept = 32;
inline constexpr std::size_t largest = 16 * 1024;

// A message's fields (KoXHeader::fields): a list keeps its entries' room
// when cleared. At most keptFieldLists per thread, none holding more than
// fieldListRoom bytes.
inline constexpr std::size_t keptFieldLists = 64;
inline constexpr std::size_t fieldListRoom = largest;

// A node of a connection's description (KoStringMap): its key and value
// keep their room, so a description made again from spares costs nothing.
using ValueNode = std::map<std::string, std::string>::node_type;
inline constexpr std::size_t keptValueNodes = 64;

struct Spares;

// The spares of the thread that holds it, from construction to
// destruction; a ThreadSpares already held outside stays in force.
class ThreadSpares {
public:
    ThreadSpares();
    ~ThreadSpares();
    ThreadSpares(const ThreadSpares&) = delete;
    ThreadSpares& operator=(const ThreadSpares&) = delete;

private:
    std::unique_ptr<Spares> own_;  // null when an outer one serves
};

// An empty string, with the capacity of a spare when there is one.
std::string takeString();
// Keeps the string's storage for a later takeString (its bytes are dropped).
void give(std::string&& bytes);
// An empty input buffer: a spare one, with its room, when there is one.
std::unique_ptr<std::string> takeBuffer();
// Keeps the buffer and its room (its bytes are dropped), or frees it.
void give(std::unique_ptr<std::string>&& buffer);
// An empty queue: a spare one, with its room, when there is one.
std::unique_ptr<KoOutputQueue> takeQueue();
// Keeps the queue and its room (its pieces are dropped, their own bytes
// kept), or frees it.
void give(std::unique_ptr<KoOutputQueue>&& queue);
// An empty field list, with the room of a spare one when the thread keeps one.
KoFieldList takeFieldList();
// Keeps the list's room (its entries are dropped), or frees it.
void give(KoFieldList&& fields);

// A value node when the thread keeps one; else empty.
ValueNode takeValueNode();
// Keeps the node (key and value emptied, their room kept), or frees it.
void give(ValueNode&& node);

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
