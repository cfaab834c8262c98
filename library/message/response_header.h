// KoXResponseHeader: the answer that a protocol layer builds from a request
// (KoXHeader::MakeAnswer). Its body is either the in-memory stream Input()
// or a file named by bodyFile with bodyFileSize bytes (bodyStream, when set,
// is that file opened already; bodyOpenFile, when set, the router's open
// file, sent as it is without opening the name again); the layer that sends
// it decides. Of the
// file, the body holds the spans in bodySpans (each after its own bytes,
// as the parts of a multipart answer are) and then bodyAfter, or the whole
// file when there are no spans. An answer whose length is unknown when its
// head goes out (lengthUnknown: a script's streamed output) takes its body
// from bodySource (a reader's handle, KoBodyStream) as it is made, framed
// by the layer; a HEAD answer of that kind has no source. Same threading
// and failure rules as KoXHeader.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "message/body_stream.h"
#include "message/x_header.h"

struct KoOpenFile;
class KoConnectionProtocol;

// A piece of the body file, and the bytes sent before it.
struct KoFileSpan {
    std::string before;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class KoXResponseHeader : public KoXHeader {
public:
    using KoXHeader::KoXHeader;

    // Whether anything follows the head: nothing for HEAD, and never for
    // 1xx, 204 and 304, whatever a handler or script put in the body.
    bool SendsBody() const {
        return !answersHead && statusCode >= 200 && statusCode != 204 && statusCode != 304;
    }
    // The body's length when it comes from the file.
    std::uint64_t FileBodyLength() const {
        if (bodySpans.empty()) return static_cast<std::uint64_t>(bodyFileSize);
        std::uint64_t length = bodyAfter.size();
        for (const KoFileSpan& span : bodySpans) length += span.before.size() + span.length;
        return length;
    }

    std::string bodyFile;
    std::int64_t bodyFileSize = 0;
    std::unique_ptr<std::ifstream> bodyStream;
    std::shared_ptr<const KoOpenFile> bodyOpenFile;
    // Fields (names in lower case) the answer has where neither its fields
    // nor a script's lines name them: shared by every answer of a site.
    using DefaultFields = std::vector<std::pair<std::string, std::string>>;
    std::shared_ptr<const DefaultFields> defaultFields;
    std::vector<KoFileSpan> bodySpans;
    std::string bodyAfter;
    // The request was HEAD: the header announces the body, which is not sent.
    bool answersHead = false;
    // The body's length is not known: it comes from bodySource (none for
    // HEAD and bodiless statuses).
    bool lengthUnknown = false;
    std::shared_ptr<KoBodyStream> bodySource;
    // A 101: what the connection speaks once the head is written (made
    // then, on the connection's loop).
    std::function<std::unique_ptr<KoConnectionProtocol>()> protocolAfter;
    // Run by whoever handed the answer on, on that thread, right after
    // (the maker of a streamed body).
    std::function<void()> afterAnswered;
};
