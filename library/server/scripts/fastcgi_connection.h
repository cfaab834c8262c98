// Server stack: KoFastCgiConnection, a connection to one FastCGI responder
// (a php-cgi process) that carries one request at a time, kept open between
// requests (FCGI_KEEP_CONN).
//
// exchange() sends FCGI_BEGIN_REQUEST, the FCGI_PARAMS stream and the body
// as FCGI_STDIN (from memory, or read from its file a piece at a time: a
// file that cannot be read fails the request), in records as the socket
// takes them, while the answer is read, so neither side can stall the other
// on a full buffer, and reads until FCGI_END_REQUEST, handing FCGI_STDOUT
// to its output taker as it
// arrives (while the taker blocks nothing is read, and the responder blocks
// on its own write). It returns when the answer has ended, the responder
// failed or went away, the deadline passed, the taker wanted no more, or the
// stop descriptor turned readable. FCGI_STDERR is handed to the error sink
// as it arrives. A connection whose request did not end (anything but
// completed) must not carry another.
//
// Ownership: owns the socket. Threads: one thread at a time; the stop
// descriptor is only watched (another thread makes it readable). Failures
// are outcomes, never exceptions (but std::bad_alloc).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor.h"
#include "platform/poller.h"

struct KoFastCgiRequest {
    std::vector<std::string> params;  // "NAME=value"
    std::string body;                 // FCGI_STDIN
    std::string bodyFile = {};        // when not empty: FCGI_STDIN from this file instead
};

struct KoFastCgiOutcome {
    enum class Kind {
        completed,       // output holds FCGI_STDOUT
        unsent,          // the responder was gone before it took any byte
        failed,          // it broke the protocol or went away mid-request
        timedOut,
        outputTooLarge,
        stopped,
        abandoned,       // the output's taker wanted no more
    };
    Kind kind = Kind::failed;
    std::string output;  // collected (the collecting exchange only)
    std::string failure;     // why it failed, for the log
    bool reusable = false;   // the connection can carry the next request
};

class KoFastCgiConnection {
public:
    using ErrorSink = std::function<void(std::string_view)>;
    // Takes FCGI_STDOUT as it comes, and an empty piece once the output has
    // paused for pauseMs; false: no more is wanted.
    using Output = std::function<bool(std::string_view)>;
    using Clock = std::chrono::steady_clock;
    // The one request id: requests never share the connection.
    static constexpr std::uint16_t requestId = 1;

    // socket: connected and non-blocking; stopFd: -1 for none.
    KoFastCgiConnection(platform::Descriptor socket, int stopFd);
    KoFastCgiConnection(const KoFastCgiConnection&) = delete;
    KoFastCgiConnection& operator=(const KoFastCgiConnection&) = delete;

    // False when the socket could not be watched (the connection is useless).
    bool valid() const { return watched; }

    // wanted is asked every checkMs (from checkMs after the start; never
    // when checkMs < 0 or wanted is empty): false ends the exchange, as
    // abandoned.
    KoFastCgiOutcome exchange(const KoFastCgiRequest& request, Clock::time_point deadline, const Output& output,
                              int pauseMs, const ErrorSink& errors, const std::function<bool()>& wanted = {},
                              int checkMs = -1);
    // Collects the output in the outcome; past maxOutput: outputTooLarge.
    KoFastCgiOutcome exchange(const KoFastCgiRequest& request, Clock::time_point deadline, std::size_t maxOutput,
                              const ErrorSink& errors);

private:
    enum Tag : std::uint64_t { socketTag = 1, stopTag = 2 };

    platform::Descriptor socket;
    platform::Poller poller;
    bool watched = false;
};
