// Incremental decoder of a "chunked" transfer-coded body. Bytes may arrive
// split anywhere; the decoder keeps its place between calls and stops at the
// end of the coded body, so that the bytes behind it stay for the next
// message. Chunk sizes are checked for overflow and the decoded size against
// a limit; blanks after a size must lead to an extension (";"), and chunk
// extensions and trailer fields are read and dropped.
// One decoder per body, used by one thread; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace message_detail {

class ChunkedDecoder {
public:
    enum class Status { needMore, done, malformed, tooLarge };

    // maxBody bounds the decoded bytes, maxLine a chunk-size or trailer
    // line, maxTrailer the whole trailer section.
    ChunkedDecoder(std::uint64_t maxBody, std::size_t maxLine, std::size_t maxTrailer);

    // Decodes from in, appending to out; consumed tells how many bytes of
    // in were used (all of them unless the body ended inside in).
    Status Feed(std::string_view in, std::string& out, std::size_t& consumed);

private:
    enum class State { size, sizeBlank, extension, sizeLF, data, dataCR, dataLF, trailer, trailerLF, done };

    Status Fail(Status status);

    const std::uint64_t maxBody;
    const std::size_t maxLine;
    const std::size_t maxTrailer;
    State state = State::size;
    Status failed = Status::needMore;
    std::uint64_t chunkSize = 0;
    std::uint64_t remaining = 0;
    std::uint64_t total = 0;
    std::size_t digits = 0;
    std::size_t lineLength = 0;
    std::size_t trailerBytes = 0;
};

}  // namespace message_detail
