// HTTP/2: KoHttp2Memory, the allocator one HTTP/2 session gives nghttp2
// (nghttp2_mem). nghttp2 mallocs and frees a stream, its queued frames and
// each decoded field for every request; here a freed block of up to
// largestKept bytes goes on a free list of its size class and serves the
// next request, so that a busy connection's streams cost no malloc. What
// the lists hold is bounded (keptBound bytes); release() gives it all back
// (an idle session holds none of it). Larger blocks go to malloc. Blocks
// made while the session is built last as long as it does: they go to
// malloc at their own size, never rounded up to a class, and the large ones
// (nghttp2's frame buffer of about 16 KiB) get pages of their own, which
// rest() lets the system take back while the session has nothing to send
// (they come back when the next frame is written into them).
//
// Threads: the session's (no locking). Failures: allocate returns null when
// malloc does, as nghttp2 expects.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

class KoHttp2Memory {
public:
    static constexpr std::size_t largestKept = 4096;
    static constexpr std::size_t keptBound = 64 * 1024;
    // Blocks at least this large, made while building, get their own pages.
    static constexpr std::size_t pagedBlock = 8 * 1024;
    // Size classes of 32, 48, 64, 96, ... largestKept bytes (the header included).
    static constexpr std::size_t classCount = 15;

    KoHttp2Memory() = default;
    ~KoHttp2Memory();
    KoHttp2Memory(const KoHttp2Memory&) = delete;
    KoHttp2Memory& operator=(const KoHttp2Memory&) = delete;

    void* allocate(std::size_t size);
    void* allocateZeroed(std::size_t count, std::size_t size);
    void* reallocate(void* block, std::size_t size);
    void free(void* block);
    // Gives every kept block back to malloc.
    void release();
    // While the session is being built (its lasting buffers are made).
    void building(bool on) { building_ = on; }
    // The session has nothing to send: the paged blocks' contents go.
    void rest();
    // Bytes held in pages of their own.
    std::size_t pagedBytes() const;

    // The bytes the free lists hold.
    std::size_t kept() const { return keptBytes_; }

    // nghttp2's calls, user being the KoHttp2Memory.
    static void* Malloc(std::size_t size, void* user);
    static void Free(void* block, void* user);
    static void* Calloc(std::size_t count, std::size_t size, void* user);
    static void* Realloc(void* block, std::size_t size, void* user);

private:
    struct FreeBlock {
        FreeBlock* next;
    };

    struct Paged {
        void* at = nullptr;
        std::size_t bytes = 0;
    };
    // The paged block at block, or end(): a paged block has no header (its
    // pages may be discarded), so it is known by its address.
    std::vector<Paged>::iterator findPaged(void* block);
    void* page(std::size_t size);

    std::array<FreeBlock*, classCount> lists_{};
    std::size_t keptBytes_ = 0;
    std::vector<Paged> paged_;
    bool building_ = false;
};
