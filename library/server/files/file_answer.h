// Server stack: the answer to a request for a static file (or a default
// document), decided from the request and the file's status before
// anything is read from it.
//
// Methods: GET and HEAD serve the file; OPTIONS is answered 204 with
// "Allow"; any other method 405 with "Allow".
// Validators: "Last-Modified" (the modification time, never later than
// now) and a strong "ETag" (http/entity_tag.h). Preconditions in the order
// HTTP prescribes: If-Match (strong comparison), else If-Unmodified-Since
// -> 412; then If-None-Match (weak comparison; it wins over
// If-Modified-Since) or If-Modified-Since -> 304, which carries the
// validators and no body.
// Ranges ("Accept-Ranges: bytes" on every file answer): one range -> 206
// with "Content-Range"; several -> 206 "multipart/byteranges", each part
// with its own type and range; none satisfiable -> 416 with
// "Content-Range: bytes */size"; an If-Range that does not match the
// current version (tag, strong comparison, or exactly the modification
// date) -> the whole file with 200. A HEAD gets the head of what a GET
// would get.
// "Cache-Control" only when the settings name one.
// An encoded answer (options.coding: a precompressed sibling or bytes
// compressed by the server) has "Content-Encoding" and a tag of its own,
// the file's with the coding's name appended, and is never cut into
// ranges (nor says "Accept-Ranges"); options.varies adds "Vary: Accept-Encoding" (also to a 304).
//
// The answer's status, fields, spans of the file and (for refusals) short
// text body are put into the response; the file itself is never opened
// here. Pure function; any thread may call it; nothing throws beyond
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compress/content_coding.h"

class KoXHeader;
class KoXResponseHeader;

// The media type and Cache-Control text are referred to, not copied: they
// outlive the call (a static table, the settings, the caller's string).
struct KoFileFacts {
    std::string_view type;  // the media type
    std::uint64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::uint64_t fileId = 0;
};

struct KoFileAnswerOptions {
    // The Cache-Control value; none when empty.
    std::string_view cacheControl;
    // Now, in seconds since 1970: a modification time later than this is
    // announced as now.
    std::int64_t now = 0;
    // The boundary of multipart answers; a fresh one when empty.
    std::string boundary;
    // The coding the body is sent in (facts are then those of the encoded
    // bytes' source); identity: the file as it is.
    KoContentCoding coding = KoContentCoding::identity;
    // Whether answers for this file differ by Accept-Encoding.
    bool varies = false;
    // false: the caller found none of If-Match, If-None-Match,
    // If-Modified-Since, If-Unmodified-Since and If-Range in the request,
    // and they are not looked for again.
    bool mayHavePreconditions = true;
    // The fields every answer of the site gets (names in lower case), the
    // answer's defaultFields. When set, a whole-file 200 names its own
    // fields in one list made once per version and thread, these after
    // them, as its defaultFields, instead of setting each in its fields;
    // the head written is the same. It outlives the call.
    const std::shared_ptr<const std::vector<std::pair<std::string, std::string>>>* siteFields = nullptr;
};

// True when the file is to be sent (status 200 or 206, also for HEAD);
// then the response's bodySpans hold the parts, or none for the whole file.
bool KoPrepareFileAnswer(const KoXHeader& request, const KoFileFacts& facts, const KoFileAnswerOptions& options,
                         KoXResponseHeader& response);

// A fresh boundary for a multipart answer: letters and digits that a file
// is most unlikely to hold.
std::string KoMultipartBoundary();
