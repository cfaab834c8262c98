// Server stack: KoRequestReader, the reading side of an HTTP connection. It
// holds the bytes a connection received and not yet parsed, and reads
// requests from them one after the other: the bytes behind a complete
// request stay for the next one (pipelining), whatever way they arrived.
// A header is parsed where it lies; a body is given to its request in
// bounded slices, and what the last slice held beyond the request goes back.
// A body whose pipe is full (KoXHeader::BodyHeldBack) is given nothing more
// until its reader has taken some.
//
// Threads: the connection's loop alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "message/x_header.h"

// Whether the request asks "Expect: 100-continue".
bool KoAsksToContinue(const KoXHeader& request);
// Whether its request line names HTTP/1.0 (a client that knows no interim answers).
bool KoIsHttp10Request(const KoXHeader& request);

class KoRequestReader {
public:
    // Bytes of a body given to the request at a time: what follows it is
    // not copied back and forth.
    static constexpr std::size_t feedSlice = 4096;

    enum class Outcome { needMore, complete, refused };

    // Takes received bytes behind those held.
    void append(std::string fresh);
    // Bytes held and not yet given to a request.
    std::size_t held() const { return carry.size() - carryAt; }
    // The request being read, null between requests.
    const std::shared_ptr<KoXHeader>& current() const { return request; }
    // Starts the next request (made by the caller) on the bytes held.
    void begin(std::shared_ptr<KoXHeader> next) { request = std::move(next); }
    // Reads the current request on as far as the bytes held go; filter is
    // asked at its header's end. A complete or refused request is handed
    // back in `done` and the reader is between requests again; a filter
    // that throws refuses the request.
    Outcome read(const KoXHeader::Filter& filter, std::shared_ptr<KoXHeader>& done);
    // Drops the request being read (its bytes are not given back).
    void abandon() { request.reset(); }
    // Lets go of the buffer while nothing is held (an idle connection).
    void release();
    // The bytes held, given up (to what the connection speaks next).
    std::string takeHeld();

private:
    std::string carry;        // bytes not yet given to a request
    std::size_t carryAt = 0;  // from here on
    std::shared_ptr<KoXHeader> request;
};
