// WebSocket: the permessage-deflate extension - choosing its parameters from
// a client's offers, and the zlib streams that compress what the server
// sends and decompress what the client sends.
//
// Messages are raw deflate data ended by a sync flush whose last four bytes
// (00 00 FF FF) are left off on the wire. Without "no context takeover" a
// stream keeps its window from one message to the next, so one connection
// owns one deflater and one inflater. Decompression stops at a limit, so a
// small frame cannot become a huge message (a deflate bomb).
//
// Threads: a stream belongs to one connection's thread at a time.
// Failures: the constructors throw KoException when zlib has no memory.
// May use: foundation.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct KoDeflateParameters {
    bool serverNoContextTakeover = false;
    bool clientNoContextTakeover = false;
    int serverMaxWindowBits = 15;  // the window the server compresses with
    int clientMaxWindowBits = 15;  // the window the client compresses with
    bool clientWindowAnnounced = false;  // the client said what it can take

    // The Sec-WebSocket-Extensions value that accepts these parameters.
    std::string responseValue() const;
};

// The first acceptable permessage-deflate offer among the comma-separated
// offers of a Sec-WebSocket-Extensions value, or nothing.
std::optional<KoDeflateParameters> choosePerMessageDeflate(std::string_view extensions);

class KoDeflater {
public:
    KoDeflater(int windowBits, bool noContextTakeover);
    ~KoDeflater();
    KoDeflater(const KoDeflater&) = delete;
    KoDeflater& operator=(const KoDeflater&) = delete;

    // One whole message, ready for the wire.
    std::string compress(std::string_view message);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    bool reset_;
};

class KoInflater {
public:
    KoInflater(int windowBits, bool noContextTakeover);
    ~KoInflater();
    KoInflater(const KoInflater&) = delete;
    KoInflater& operator=(const KoInflater&) = delete;

    enum class Outcome { done, tooLarge, corrupt };
    // Decompresses one whole message as it came off the wire into out,
    // stopping with tooLarge once out would pass limit bytes.
    Outcome decompress(std::string_view wire, std::size_t limit, std::string& out);

private:
    struct Stream;
    std::unique_ptr<Stream> stream_;
    bool reset_;
};
