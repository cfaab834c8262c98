#include "server/http/compressed_stream.h"

#include <utility>

KoCompressedStream::KoCompressedStream(std::shared_ptr<KoBodyStream> target_, KoContentCoding coding, int level)
    : target(std::move(target_)), compressor(KoCompressor::make(coding, level)) {}

bool KoCompressedStream::pushOut(Clock::time_point deadline) {
    // An empty push would still wait for room: nothing to say, no wait.
    if (out.empty()) return !target->abandoned();
    std::string piece;
    piece.swap(out);
    return target->push(std::move(piece), deadline);
}

bool KoCompressedStream::push(std::string_view bytes, Clock::time_point deadline) {
    if (bytes.empty()) return !target->abandoned();
    compressor->write(bytes, out);
    unflushed = true;
    return pushOut(deadline);
}

bool KoCompressedStream::flush(Clock::time_point deadline) {
    if (!unflushed) return !target->abandoned();
    compressor->flush(out);
    unflushed = false;
    return pushOut(deadline);
}

void KoCompressedStream::end(bool complete, Clock::time_point deadline) {
    if (complete) {
        compressor->finish(out);
        unflushed = false;
        // A reader that is gone, or a time that ran out, leaves the body cut.
        complete = pushOut(deadline);
    }
    target->end(complete);
}
