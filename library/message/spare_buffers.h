// Message engine: the byte strings and output queues that a thread's
// connections let go of (an input buffer between requests, an answer's head
// once sent), kept for the next one that needs them. A loop serves one
// connection at a time, so a few spares serve all of its connections, and
// a keep-alive request costs no new buffer while an idle connection still
// holds none. Bounded: at most `kept` of each kind per thread, none with
// more than `largest` bytes of capacity; the rest are freed.
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

}  // namespace spare_buffers
