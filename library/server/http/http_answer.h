// Server stack, http/: HTTP meaning without a connection - dates, entity
// tags, byte ranges, request rules and paths, cookies, answer compression
// and compressed streams, event-stream lines, a client certificate's
// values, and (this header) an answer's written form.
// May use: message, compress, net, foundation, platform.
//
// This header: the written form of an HTTP answer and the access-log line.
// Pure functions over a response; any thread may call them; nothing throws
// beyond std::bad_alloc.
//
// An answer's head: the status line (the reason phrase of ReasonPhrase),
// one "Server:" line (a script's own among its lines, else the response's
// field "server" when set, none when that is empty, else the product
// token), "Date:" (unless a script
// wrote its own), "Content-Length:" (the body the server sends, also for
// HEAD; none for 1xx, 204 and 304; for an answer of unknown length
// "Transfer-Encoding: chunked", or nothing to an HTTP/1.0 client, which
// reads to the end of the connection), the response's fields that answers
// carry ("content-type", "content-range", "accept-ranges",
// "last-modified", "etag", "cache-control", "content-encoding", "vary",
// "allow", "www-authenticate",
// "retry-after", and the security
// fields "x-content-type-options", "strict-transport-security",
// "x-frame-options", "content-security-policy", "referrer-policy", in this
// order),
// "Location:" when it has a location, the CGI header lines (field
// ":cgi:"), "Connection: close" when the connection ends after it
// ("Connection: keep-alive" when an HTTP/1.0 request's connection stays),
// and the empty line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/http/http_date.h"

class KoXHeader;
class KoXResponseHeader;

// Field of a response that holds the header lines a CGI script wrote.
inline constexpr const char* kCgiLinesField = ":cgi:";

// The type of the texts the server writes itself.
inline constexpr const char* kPlainTextType = "text/plain; charset=utf-8";

// The request the response answers was HTTP/1.0.
bool KoAnswersHttp10(const KoXResponseHeader& response);

std::string KoAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                         std::string_view date = KoHttpDateNow());

// What a head holds, field by field, for a writer that is not text (an
// HTTP/2 header block): the status, then each field with its name as the
// text head writes it, then the script's own lines as it wrote them
// ("Name: value", breaks not yet removed). The same fields, in the same
// order, as KoAnswerHead, Connection and Transfer-Encoding included.
class KoAnswerHeadWriter {
public:
    virtual void status(std::int32_t code) = 0;
    virtual void field(std::string_view name, std::string_view value) = 0;
    virtual void scriptLine(std::string_view line) = 0;
    // The answer fields' lines as text ("Name: value\r\n" each), offered
    // in place of their field() calls when they come from the answer's
    // defaults alone; false: call field() for each.
    virtual bool lines(std::string_view) { return false; }

protected:
    ~KoAnswerHeadWriter() = default;
};
void KoWalkAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                      std::string_view date, KoAnswerHeadWriter& out);

// The value the head gives field name (lower case; a script's lines aside):
// its first value among the response's fields, else the first of its
// defaultFields; null when neither names it.
const std::string* KoAnswerFieldValue(const KoXResponseHeader& response, std::string_view name);

// The status and its reason as a line of text: "405 Method Not Allowed\n".
std::string KoStatusText(std::int32_t status);
// Gives a refusal its text body (KoStatusText, plain text).
void KoSetTextBody(KoXResponseHeader& response);

// A minimal complete answer (for refusals): status, reason as text body.
std::string KoPlainAnswer(std::int32_t status, bool closing, std::string_view date = KoHttpDateNow());

// Time in the log's form, "10/Oct/2000:13:55:36 +0000", from 100 ns ticks
// since 1970; the text stays as it is until the thread's next call.
const std::string& KoLogTime(std::int64_t ticks);

// The pieces of one line, where they lie (they must outlive the entry's use).
struct KoAccessLogEntry {
    std::string_view remoteAddress = "none";
    std::string_view protocolName = "none";
    std::string_view time;
    std::string_view requestLine;
    std::int32_t status = 0;
    std::uint64_t bytes = 0;
    std::string_view referer = "-";
    std::string_view userAgent = "-";
};

// remote " - " protocol " - [" time "] \"" request "\" --> " status " "
// bytes " \"" referer "\" \"" agent "\"".
std::string KoAccessLogLine(const KoAccessLogEntry& entry);
// The same line appended to out (a buffer used again line after line).
void KoAppendAccessLogLine(std::string& out, const KoAccessLogEntry& entry);
