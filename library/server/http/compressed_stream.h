// Server stack: KoCompressedStream, the maker's side of a KoBodyStream
// whose body goes out compressed: the maker's bytes pass through a
// KoCompressor and what it lets go is pushed on. flush() pushes what the
// compressor still holds, so that a reader can decode every byte made so
// far (the maker pauses: an event-like stream is not held back); end()
// finishes the compressed stream before the body ends.
//
// Ownership: holds the stream it feeds (shared with the reader) and its
// compressor. Threads: the maker's, one at a time, as KoBodyStream's push
// and end. push and flush fail as KoBodyStream::push does (the reader is
// gone, the deadline passed); nothing throws but std::bad_alloc.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "compress/compressor.h"
#include "message/body_stream.h"

class KoCompressedStream {
public:
    using Clock = KoBodyStream::Clock;

    // coding: gzip or brotli; level as KoCompressor::make.
    KoCompressedStream(std::shared_ptr<KoBodyStream> target, KoContentCoding coding, int level);

    bool push(std::string_view bytes, Clock::time_point deadline);
    // Pushes what the compressor holds back; nothing when nothing was
    // written since the last flush.
    bool flush(Clock::time_point deadline);
    // complete: the compressed stream is finished first; otherwise the body
    // is cut as it stands.
    void end(bool complete, Clock::time_point deadline);

    bool abandoned() const { return target->abandoned(); }

private:
    bool pushOut(Clock::time_point deadline);

    const std::shared_ptr<KoBodyStream> target;
    const std::unique_ptr<KoCompressor> compressor;
    std::string out;
    bool unflushed = false;
};
