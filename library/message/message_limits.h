// Bounds on what one received message may hold. A message that goes past one
// is refused with the status the layer answers before it closes the
// connection: 431 for the header limits, 413 for the body. Hosts and tests
// pass their own values at construction of a header.
#pragma once

#include <cstddef>
#include <cstdint>

struct KoMessageLimits {
    static constexpr std::size_t kMaxLineLength = 8 * 1024;
    static constexpr std::size_t kMaxHeaderSize = 64 * 1024;
    static constexpr std::size_t kMaxFieldCount = 100;
    static constexpr std::uint64_t kMaxBodySize = 64ull * 1024 * 1024;

    // One line of the header (the first line included), without CR LF.
    std::size_t maxLineLength = kMaxLineLength;
    // All header bytes, line ends included; chunk trailers count apart.
    std::size_t maxHeaderSize = kMaxHeaderSize;
    // Field lines after the first line.
    std::size_t maxFieldCount = kMaxFieldCount;
    // The body as delivered: Content-Length, or the decoded chunks.
    std::uint64_t maxBodySize = kMaxBodySize;
};
