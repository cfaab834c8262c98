// Compression: which content coding an answer goes out in - the client's
// Accept-Encoding read with its weights, and the media types worth
// compressing.
//
// Brotli is preferred to gzip when the client weighs them the same; a coding
// given q=0 is never chosen, nor is "identity" refused unless the client
// says so (then the caller decides: 406, or identity anyway as most servers
// do). Plain functions: any thread.
// May use: foundation.
#pragma once

#include <string_view>

enum class KoContentCoding { identity, gzip, brotli };

// "br", "gzip" or "" for identity.
std::string_view KoCodingName(KoContentCoding coding);
// The file name ending of a precompressed sibling: ".br", ".gz" or "".
std::string_view KoCodingSuffix(KoContentCoding coding);

// The best coding the client accepts among those on offer.
KoContentCoding KoChooseCoding(std::string_view acceptEncoding, bool brotliOffered, bool gzipOffered);

// Text types that shrink well (HTML, CSS, JavaScript, JSON, SVG, XML, plain
// text); parameters after ';' are ignored.
bool KoIsCompressibleType(std::string_view mediaType);
