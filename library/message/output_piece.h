// Message engine: KoOutputPiece, one piece of a connection's queued output -
// bytes of its own, or a slice of a buffer that others hold too (a broadcast
// frame, a file's bytes kept in the cache), sent from where they lie and
// never copied per connection.
// Plain value: its owner's lock.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct KoOutputPiece {
    std::string own{};
    std::shared_ptr<const std::string> shared{};
    std::size_t offset = 0;  // of the shared buffer's slice
    std::size_t length = 0;

    std::string_view bytes() const {
        return shared ? std::string_view(*shared).substr(offset, length) : std::string_view(own);
    }
    std::size_t size() const { return shared ? length : own.size(); }
};

// A connection's queue of outgoing pieces, oldest first: the first
// headIndex are sent, and headSent bytes of the next. Held apart and only
// while output waits (a thread's spares keep emptied queues for its next
// connection), so an idle connection carries a pointer, not the queue.
struct KoOutputQueue {
    std::vector<KoOutputPiece> pieces;
    std::size_t headIndex = 0;
    std::size_t headSent = 0;

    bool empty() const { return headIndex == pieces.size(); }
};
