// Server stack: which variant of a static file an answer sends - the file
// as it is, a precompressed sibling beside it ("x.js.br", "x.js.gz" for
// "x.js", used while not older than the file), or the file compressed by
// the server and kept in the loop's file cache - and the answer prepared
// for that variant (file_answer.h).
//
// Brotli is preferred to gzip at equal weight, a sibling to compressing.
// A request with Range is answered from the file as it is (ranges of
// compressed bytes would depend on the compressor). Answers for a file
// that has a sibling or is of a compressible type carry "Vary:
// Accept-Encoding", whichever variant they send.
//
// Threads: the cache's, a loop's own. Failures: std::bad_alloc only; a
// file that cannot be compressed is sent as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compress/content_coding.h"
#include "server/files/file_answer.h"
#include "server/files/file_cache.h"

struct KoStaticCompression {
    // false: files go out as they are and siblings are not looked for.
    bool enabled = true;
    // Files of a compressible type of this size or more (smaller ones gain
    // too little to pay for a header and a cache entry)...
    std::size_t minimumSize = 1024;
    // ...and at most this size are compressed by the server, on the loop
    // that answers (2 MiB: about 100 ms, once per version; a larger file
    // would hold up the loop's other connections longer); siblings are used
    // whatever their size.
    std::size_t maximumSize = 2u * 1024 * 1024;
    // Compressed bytes kept per loop.
    std::size_t budget = 32u * 1024 * 1024;
    // KoCompress's level (1-9), once per version.
    int level = 6;
};

// The codings a file is available in besides identity.
struct KoFileCodings {
    bool brotli = false;
    bool gzip = false;
};

// The coding to send among those offered: identity for a request with
// Range, else the client's pick by Accept-Encoding (all its field lines).
KoContentCoding KoChooseFileCoding(const KoXHeader& request, KoFileCodings offered);

// Where a prepared answer's body comes from: `file` (the one asked for or
// its sibling) of `size` bytes, or, when file is empty, nothing more to
// add (a refusal, a 304, or the cache's compressed bytes already in the
// answer as its bodyOpenFile, shared with the cache).
struct KoFileBody {
    std::string file;
    std::uint64_t size = 0;
};

// Where siblings are looked for and how.
struct KoSiblingLookup {
    // Their status is checked against the file system now (the client asks
    // about the copy it holds).
    bool checkNow = false;
    // A sibling that lies in this directory (a link into the CGI directory)
    // is never sent; none when null or empty. It outlives the call.
    const std::string* cgiDirectory = nullptr;
    // What the caller's lookup of the file found (checked as checkNow asks);
    // looked up here when null.
    const KoFileCache::Found* found = nullptr;
    // Whether facts' type is one compression gains on, when the caller knows
    // (KoFileCache::compressibleType); asked of the type when null.
    const bool* compressibleType = nullptr;
};

// Prepares the answer for `file` (facts: its status) in the variant chosen
// for the request. The name is taken: a body of the file itself carries it
// on without a copy (a caller done with its name moves it in).
KoFileBody KoPrepareFileVariant(const KoXHeader& request, std::string file, const KoFileFacts& facts,
                                KoFileAnswerOptions options, const KoStaticCompression& compression,
                                KoFileCache& cache, const KoSiblingLookup& lookup, KoXResponseHeader& response);
