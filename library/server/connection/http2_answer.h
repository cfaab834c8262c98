// Server stack: an answer of the router (KoXResponseHeader) as an HTTP/2
// response: its status, its fields and a body that the HTTP/2 session pulls
// as the flow-control windows allow.
//
// The fields are those of the HTTP/1.1 head the layer would write
// (KoWalkAnswerHead: Server, Date, Content-Length, validators, security fields,
// a script's lines), names in lower case, without the connection-specific
// ones (Connection, Keep-Alive, Transfer-Encoding, Upgrade). The body is
// read where it lies, straight into the session's frame buffer: the text,
// the open file (its cached bytes, or read at an offset from its
// descriptor), the spans of a range answer, or a script's KoBodyStream
// (nothing for now: deferred; cut: the stream is reset). HEAD, 1xx, 204
// and 304 carry no body.
//
// A file that can no longer be opened turns the answer into 404 (gone) or
// 500/503 (unreadable), as the HTTP/1.1 writer does.
//
// Threads: the connection's loop. Nothing throws but std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http2/http2_session.h"
#include "message/body_stream.h"

class KoXResponseHeader;

struct KoHttp2Answer {
    int status = 500;
    KoHttp2Fields fields;
    // Null: no body.
    std::unique_ptr<KoHttp2Body> body;
    // The script's output the body reads, to be woken by (null for others).
    std::shared_ptr<KoBodyStream> source;
};

// Takes the body out of response. Body bytes given to the session are added
// to *sent, which must outlive the body. room: a list whose buffers the
// answer's fields reuse (what it holds is dropped), so that a connection's
// answers need not allocate them each.
KoHttp2Answer KoMakeHttp2Answer(KoXResponseHeader& response, std::uint64_t* sent, KoHttp2Fields room = {});

