// Server stack: KoFastCgiResponse reads what a FastCGI responder sends back
// for one request: FCGI_STDOUT is collected, FCGI_STDERR handed on, and
// FCGI_END_REQUEST ends it. Bytes may arrive in any pieces.
//
// Anything a sound responder would not send is a failure, never a guess: a
// record for another request id, a record type a responder does not send
// (management records included), stream bytes after the stream's end, an
// FCGI_END_REQUEST whose body is not 8 bytes or that refuses the request,
// and bytes that are no record at all. The owner treats a stream that ends
// before FCGI_END_REQUEST as a failure too.
//
// Threads: one thread at a time. Nothing throws but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/scripts/fastcgi_records.h"

class KoFastCgiResponse {
public:
    enum class Status { needMore, ended, failed };

    explicit KoFastCgiResponse(std::uint16_t requestId) : id(requestId) {}

    // Takes the next bytes. After `ended`, Trailing() tells whether bytes
    // followed FCGI_END_REQUEST; after `failed`, Failure() tells why. Once
    // ended or failed, further bytes change nothing.
    Status feed(std::string_view bytes);

    // FCGI_STDOUT so far.
    std::string& Output() { return output; }
    // FCGI_STDERR that arrived since the last call.
    std::string TakeErrors();
    const std::string& Failure() const { return failure; }
    std::uint32_t AppStatus() const { return appStatus; }
    bool Trailing() const { return trailing; }
    // Part of a record has been read and the rest is missing.
    bool MidRecord() const { return reader.MidRecord(); }

private:
    Status take(const KoFastCgiRecord& record);
    Status fail(std::string why);

    const std::uint16_t id;
    KoFastCgiRecordReader reader;
    Status state = Status::needMore;
    std::string output;
    std::string errors;
    std::string failure;
    std::uint32_t appStatus = 0;
    bool outputEnded = false;
    bool errorsEnded = false;
    bool trailing = false;
};
