// Bounds on what one received message may hold. A message that goes past one
// is refused with the status the layer answers before it closes the
// connection: 431 for the header limits, 413 for the body. A form (the
// fields of the query and the body, read only when something asks for them)
// that goes past its bounds is refused with 413 when it is read. Hosts and
// tests pass their own values at construction of a header.
#pragma once

#include <cstddef>
#include <cstdint>

struct KoMessageLimits {
    static constexpr std::size_t kMaxLineLength = 8 * 1024;
    static constexpr std::size_t kMaxHeaderSize = 64 * 1024;
    static constexpr std::size_t kMaxFieldCount = 100;
    static constexpr std::uint64_t kMaxBodySize = 64ull * 1024 * 1024;
    static constexpr std::size_t kMaxFormFields = 1000;
    static constexpr std::size_t kMaxFormFieldSize = 1024 * 1024;

    // One line of the header (the first line included), without CR LF.
    std::size_t maxLineLength = kMaxLineLength;
    // All header bytes, line ends included; chunk trailers count apart.
    std::size_t maxHeaderSize = kMaxHeaderSize;
    // Field lines after the first line.
    std::size_t maxFieldCount = kMaxFieldCount;
    // The body as delivered: Content-Length, or the decoded chunks.
    std::uint64_t maxBodySize = kMaxBodySize;
    // Fields of the form, query and body together (each costs a record
    // beside its bytes, however short it is).
    std::size_t maxFormFields = kMaxFormFields;
    // One field as received: an urlencoded "name=value" piece, or the header
    // lines of a multipart part. A part's own bytes (an upload) are bounded
    // by the body alone: they are kept as they are, at their size.
    std::size_t maxFormFieldSize = kMaxFormFieldSize;
};
