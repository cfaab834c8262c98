// Server stack: whether an answer made on the fly (a script's output, a
// host handler's body) goes out compressed, and in which coding.
//
// Compressed are answers of a compressible text type (KoIsCompressibleType)
// to a client that accepts gzip or br, unless they are bodiless (a HEAD
// answer is decided as its GET: the same coding, Vary and length), answer
// a request with Range, already carry a Content-Encoding,
// say "Cache-Control: no-transform", or are known to be smaller than the
// minimum size. Over TLS only answers marked safe are compressed: a secret
// (a cookie's token, a CSRF field) beside text the client chose leaks
// through the compressed size (BREACH); scripts count as safe only when
// the settings say so, host answers when the host marks them.
//
// Plain functions over values: any thread; nothing throws but
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "compress/content_coding.h"

class KoXResponseHeader;

struct KoAnswerCompression {
    // false: no answer made on the fly is compressed.
    bool enabled = true;
    // CGI and PHP output over HTTPS; off by default (BREACH), on plain HTTP
    // it is compressed either way.
    bool scriptsOverTls = false;
    // Host answers over HTTPS when the answer does not say (Answer::compress).
    bool hostOverTls = false;
    // A body known to be smaller gains too little for a header's cost; a
    // streamed one is compressed whatever its size.
    std::size_t minimumSize = 1024;
    // KoCompressor's scale, 1 (fast) to 9 (small); the work is done per
    // answer, on the thread that makes it.
    int level = 5;
    bool brotli = true;
    bool gzip = true;
};

// What the decision looks at, gathered from the request and the answer.
struct KoAnswerFacts {
    std::string_view acceptEncoding;  // all of the request's lines, joined by ','
    bool overTls = false;
    bool safeOverTls = false;  // the maker vouches for it (see above)
    bool range = false;        // the request asks for a range
    bool sendsBody = true;     // false for bodiless statuses; a HEAD's as its GET's
    std::string_view contentType;
    bool encoded = false;      // the answer names its own Content-Encoding
    bool noTransform = false;  // Cache-Control: no-transform
    bool sizeKnown = false;
    std::size_t size = 0;
};

struct KoAnswerCoding {
    KoContentCoding coding = KoContentCoding::identity;
    // Another Accept-Encoding could get another body: "Vary: Accept-Encoding".
    bool varies = false;
};

KoAnswerCoding KoChooseAnswerCoding(const KoAnswerFacts& facts, const KoAnswerCompression& settings);

// The facts of a response as far as it tells them (its request's fields,
// the scheme, its own fields and a script's header lines); the caller sets
// safeOverTls and the size. acceptEncoding points into `joined`.
KoAnswerFacts KoAnswerFactsOf(const KoXResponseHeader& response, std::string& joined);

// Marks the response: Content-Encoding for a coding other than identity,
// "Vary: Accept-Encoding" when it varies.
void KoMarkAnswerCoding(KoXResponseHeader& response, const KoAnswerCoding& chosen);

// An answer whose whole body lies in memory (Input()) compressed in place
// when the decision says so; safeOverTls as above. Returns the coding used.
KoContentCoding KoCompressAnswerBody(KoXResponseHeader& response, const KoAnswerCompression& settings,
                                     bool safeOverTls);
