// Message engine: KoOutputPiece, one piece of a connection's queued output -
// bytes of its own, or a share of bytes that other connections send too (a
// broadcast frame, a compressed file kept in the cache), so those are never
// copied per connection.
// Plain value: its owner's lock.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct KoOutputPiece {
    std::string own{};
    std::shared_ptr<const std::string> shared{};

    std::string_view bytes() const { return shared ? std::string_view(*shared) : std::string_view(own); }
    std::size_t size() const { return shared ? shared->size() : own.size(); }
    const char* data() const { return shared ? shared->data() : own.data(); }
};
