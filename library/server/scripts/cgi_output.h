// Server stack: the header block that a CGI program (or PHP) writes before
// its body, read incrementally. KoCgiOutputParser is fed the output in
// pieces as they come and reports "need more", "complete" (the status, the
// header lines the server passes on, where the body starts) or "malformed"
// (with the reason); it never needs the whole output, so a streaming
// caller sends the body on as it arrives.
//
// The server owns framing and connection management: the script's
// Content-Length, Transfer-Encoding and the hop-by-hop fields (Connection,
// Keep-Alive, Upgrade, Trailer, TE, Proxy-*) are dropped. A line that is not
// "name: value" with a token name, a value holding CR, NUL or another
// control byte, a Status that is no final status code, output that ends
// before the empty line, a block without fields and a block larger than
// the limit are malformed: the answer is then 502.
//
// Lines end in LF or CR LF. "Status:" sets the status (200 without one);
// "Location:" is kept apart and, without a Status, makes the status 302.
//
// Ownership: a parser owns what it has read. Threads: one parser is used by
// one thread at a time. Nothing throws beyond std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the header block says, once it is complete.
struct KoCgiHead {
    std::int32_t status = 200;
    // The fields passed on, as "Name: value" with the value trimmed.
    std::vector<std::string> headerLines;
    std::string location;
};

class KoCgiOutputParser {
public:
    static constexpr std::size_t kDefaultHeaderLimit = 64 * 1024;
    enum class Status { needMore, complete, malformed };

    explicit KoCgiOutputParser(std::size_t headerLimit = kDefaultHeaderLimit);

    // Feeds the next bytes of output. used tells how many of them belong to
    // the header block (all while "need more", none once complete); the
    // bytes after them are body.
    Status feed(std::string_view bytes, std::size_t& used);
    // The output has ended: malformed unless the header block is complete.
    Status finish();

    Status status() const { return state; }
    // Valid once complete.
    const KoCgiHead& head() const { return parsed; }
    // Why the output is malformed; empty otherwise.
    const std::string& reason() const { return why; }
    // Where the body starts, counted from the first byte of the output.
    std::uint64_t bodyOffset() const { return headerBytes; }

private:
    Status fail(std::string reason);
    // One line without its line end; the empty line ends the block.
    void takeLine(std::string_view line);

    const std::size_t limit;
    Status state = Status::needMore;
    std::string line;
    std::uint64_t headerBytes = 0;
    bool hasStatus = false;
    std::size_t fields = 0;  // kept or not
    KoCgiHead parsed;
    std::string why;
};

// All of a run's output at once (the buffered path).
struct KoCgiAnswer {
    bool wellFormed = false;
    std::string reason;  // why not, when not
    KoCgiHead head;
    std::string body;
};

KoCgiAnswer parseCgiOutput(std::string_view output,
                           std::size_t headerLimit = KoCgiOutputParser::kDefaultHeaderLimit);
