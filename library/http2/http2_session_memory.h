// HTTP/2 (internal): the memory a KoHttp2ServerSession gives nghttp2.
//
// nghttp2 keeps a frame buffer of about 16 KiB for the whole life of a
// session (each frame is written into it, then taken out): most of what an
// idle session holds. A block that large made while the session is built
// gets pages of its own; while the session has nothing to send its
// contents are not needed, and rest() lets the system take those pages
// back (they come back, zeroed, when the next frame is written into them).
// Every other block is the C library's.
//
// Threads: the session's (one at a time), as nghttp2 calls it.
#pragma once

#include <cstddef>
#include <vector>

class KoHttp2SessionMemory {
public:
    // Blocks at least this large, made while building, get their own pages.
    static constexpr std::size_t pagedBlock = 8 * 1024;

    KoHttp2SessionMemory() = default;
    ~KoHttp2SessionMemory();
    KoHttp2SessionMemory(const KoHttp2SessionMemory&) = delete;
    KoHttp2SessionMemory& operator=(const KoHttp2SessionMemory&) = delete;

    // While the session is being built (its lasting buffers are made).
    void building(bool on) { building_ = on; }
    // The session has nothing to send: the paged blocks' contents go.
    void rest();
    // Bytes held in pages of their own.
    std::size_t pagedBytes() const;

    void* allocate(std::size_t size);
    void* allocateZeroed(std::size_t count, std::size_t size);
    void* reallocate(void* block, std::size_t size);
    void release(void* block);

private:
    struct Paged {
        void* at = nullptr;
        std::size_t bytes = 0;
    };
    // The paged block at block, or end().
    std::vector<Paged>::iterator find(void* block);
    void* page(std::size_t size);

    std::vector<Paged> paged_;
    bool building_ = false;
};
