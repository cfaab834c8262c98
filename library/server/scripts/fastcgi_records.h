// Server stack: the record layer of FastCGI 1.0, as a web server (the
// client side) speaks it: writing the records of one request and reading
// records back incrementally.
//
// A record is an 8-byte header (version 1, type, request id, content
// length, padding length, reserved), at most 65535 content bytes and at
// most 255 padding bytes. The writers pad every record to a multiple of 8.
// Name-value pairs (FCGI_PARAMS) carry each length in 1 byte below 128,
// else in 4 bytes with the top bit set; a pair never spans two records,
// since interpreters parse each PARAMS record on its own.
//
// Threads: the functions are stateless; one reader per thread at a time.
// Failures: the writers report a pair too long for one record by returning
// false; the reader reports bytes that are no FastCGI record as `failed`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fastcgi {

inline constexpr std::uint8_t version1 = 1;
inline constexpr std::size_t headerLength = 8;
inline constexpr std::size_t maxContentLength = 65535;

namespace record {
inline constexpr std::uint8_t beginRequest = 1;
inline constexpr std::uint8_t abortRequest = 2;
inline constexpr std::uint8_t endRequest = 3;
inline constexpr std::uint8_t params = 4;
inline constexpr std::uint8_t stdinStream = 5;
inline constexpr std::uint8_t stdoutStream = 6;
inline constexpr std::uint8_t stderrStream = 7;
inline constexpr std::uint8_t data = 8;
inline constexpr std::uint8_t getValues = 9;
inline constexpr std::uint8_t getValuesResult = 10;
inline constexpr std::uint8_t unknownType = 11;
}  // namespace record

inline constexpr std::uint16_t responderRole = 1;
inline constexpr std::uint8_t keepConnection = 1;  // FCGI_BEGIN_REQUEST flag
// The body length of FCGI_BEGIN_REQUEST and FCGI_END_REQUEST.
inline constexpr std::size_t fixedBodyLength = 8;

namespace protocol_status {
inline constexpr std::uint8_t requestComplete = 0;
inline constexpr std::uint8_t cantMultiplex = 1;
inline constexpr std::uint8_t overloaded = 2;
inline constexpr std::uint8_t unknownRole = 3;
}  // namespace protocol_status

// One record; content is at most maxContentLength bytes.
void appendRecord(std::string& out, std::uint8_t type, std::uint16_t id, std::string_view content);

// FCGI_BEGIN_REQUEST for the responder role.
void appendBeginRequest(std::string& out, std::uint16_t id, bool keepConnection);

// The FCGI_PARAMS stream of "NAME=value" entries (an entry without "=" is a
// name with an empty value), as few records as whole pairs allow, then the
// empty record that ends the stream. False, with nothing appended, when a
// pair does not fit in one record.
bool appendParams(std::string& out, std::uint16_t id, const std::vector<std::string>& entries);

// Bytes of a stream (FCGI_STDIN, ...) as records of at most
// maxContentLength bytes; empty bytes append the record that ends the
// stream.
void appendStream(std::string& out, std::uint8_t type, std::uint16_t id, std::string_view bytes);

// One name-value pair as the PARAMS stream encodes it.
void appendNameValue(std::string& out, std::string_view name, std::string_view value);

}  // namespace fastcgi

struct KoFastCgiRecord {
    std::uint8_t type = 0;
    std::uint16_t id = 0;
    std::string content;
};

// Splits a byte stream into records, whatever the pieces it arrives in.
class KoFastCgiRecordReader {
public:
    enum class Status { needMore, record, failed };

    // Reads bytes from `used` on, advancing `used`, until one record is
    // complete (`record`: Current() holds it until the next call), the bytes
    // run out (`needMore`) or they are no FastCGI record (`failed`: a
    // version other than 1; the reader stays failed).
    Status next(std::string_view bytes, std::size_t& used);
    const KoFastCgiRecord& Current() const { return current; }
    // Part of a record has been read and the rest is missing.
    bool MidRecord() const { return filled != 0 || inBody; }

private:
    unsigned char header[fastcgi::headerLength] = {};
    std::size_t filled = 0;  // header bytes so far
    std::size_t contentLeft = 0;
    std::size_t paddingLeft = 0;
    bool inBody = false;
    bool broken = false;
    KoFastCgiRecord current;
};
