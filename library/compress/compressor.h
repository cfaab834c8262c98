// Compression: KoCompressor, a streaming encoder for one answer body in
// gzip (zlib) or br (brotli). Bytes go in as the answer is made and come out
// as the encoder lets them go; finish() ends the stream. Used for bodies
// streamed from hosts and scripts, and once per file for the file cache.
//
// Threads: one answer's at a time. Failures: the factory throws KoException
// when the library has no memory; write and finish do not throw but
// bad_alloc.
// May use: foundation.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "compress/content_coding.h"

class KoCompressor {
public:
    virtual ~KoCompressor() = default;
    // Appends to out what the encoder gives for bytes (may be nothing yet).
    virtual void write(std::string_view bytes, std::string& out) = 0;
    // Appends what the encoder held back so far, so that a reader can decode
    // everything written (a streamed answer's chunk boundary).
    virtual void flush(std::string& out) = 0;
    // Appends the rest and the stream's end.
    virtual void finish(std::string& out) = 0;

    // coding must not be identity. level: 1 (fast) to 9 (small); brotli's
    // scale is mapped onto its own 0-11.
    static std::unique_ptr<KoCompressor> make(KoContentCoding coding, int level = 6);
};

// A whole body at once (for a file kept in the cache).
std::string KoCompress(KoContentCoding coding, std::string_view body, int level = 9);
