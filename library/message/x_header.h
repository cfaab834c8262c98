// KoXHeader: one message (a request or an answer, server or client side).
//
// Receiving: the protocol layer appends the bytes of a connection to the
// header (AppendInput, or writes into Input()) and calls ConsumeHeader until
// it reports the message complete or refused. A request line is exactly a
// method, a target and "HTTP/1.0" or "HTTP/1.1" ("VELKO/1.x" too on the
// VELKO protocols); a target in absolute form ("http://host/p") gives its
// path and query, and its authority becomes the "host" field, replacing any
// Host line received; a path escape that is not "%" and two hexadecimal
// digits is refused (400). A field line is a token, ':' and a value
// without control bytes (HTAB aside); any other line is refused (400), none
// is skipped or repaired. Field values are kept as received, without the
// blanks around them. "Connection" is read as a list of tokens. The body
// then stays in Input(); bytes that arrived behind the message belong to
// the next message on the connection and are handed back by TakeRemainder.
// A refusal carries the status to answer (RefusalStatus) and always asks to
// close.
//
// What becomes of a body is the filter's choice (SetBodyKeeping, at the
// header's end): held in memory (the default), spilled to a temporary file
// once it outgrows a bound (BodyFile), discarded as it arrives (counted,
// its framing still checked, so the next message is found), passed on as it
// arrives to a KoRequestBodyPipe (a handler reads it on its own thread; the
// pipe is ended with the body, or cut by a refusal), or not read at
// all (the message completes at the header's end and asks to close: the
// peer was told nothing that invites the body). A streamed message leaves
// its fields and closeAfter as they were at the header's end, since its
// handler reads them while the body is still parsed.
//
// Sending: WriteHeader writes the request or answer header once the job
// state allows it.
//
// Ownership: the header owns its input, its body, its blocks and their
// indexes. Threads: parsing runs only on the thread that serves the
// connection; WriteHeader, ReadyToWrite and settings lookups take `mutex`;
// methodCode and messageKind are atomic so other threads may read them.
// Failures: ConsumeHeader reports refusals as results; it throws only what
// the filter throws (an empty filter: std::bad_function_call), and the header
// is then refused with status 500. WriteHeader throws KoException for a request whose
// method has no written form.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/string_buf.h"
#include "jobs/job.h"
#include "message/answer_sink.h"
#include "message/field_list.h"
#include "message/http_message_block.h"
#include "message/message_limits.h"
#include "message/protocols.h"
#include "message/shared_values.h"

class KoRequestBodyPipe;
class KoXResponseHeader;

// A request target in absolute form ("http://host:port/p?q"), split into
// the authority and the origin form ("/p?q", "/" for none). Only an http or
// https target with a host and no user information is usable.
struct KoAbsoluteTarget {
    std::string authority;
    std::string origin;
    bool usable = false;
};
// Nothing when the target is not in absolute form ("scheme://...").
std::optional<KoAbsoluteTarget> KoSplitAbsoluteTarget(std::string_view target);

namespace message_detail {
class ChunkedDecoder;
}
namespace platform {
class TemporaryFile;
}

// How a received body is kept (KoXHeader::SetBodyKeeping).
enum class KoBodyKeeping { memory, spill, discard, stream, skip };

// Results of ConsumeHeader and ParseBody.
namespace consume_result {
inline constexpr int NeedMore = 0;
inline constexpr int Refused = 1;
inline constexpr int Complete = 2;
}  // namespace consume_result

// messageKind values.
namespace message_kind {
inline constexpr std::int32_t Unknown = 0;
inline constexpr std::int32_t Answer = 1;
inline constexpr std::int32_t Request = 2;
}  // namespace message_kind

// Job states that WriteHeader tests: 6 the answer is complete, 5 it may be
// written early (headers built with writeEarly).
namespace header_state {
inline constexpr std::uint32_t WriteEarly = 5;
inline constexpr std::uint32_t Complete = 6;
}  // namespace header_state

class KoXHeader : public KoJob, public std::enable_shared_from_this<KoXHeader> {
public:
    // Names in lower case, in byte order; see field_list.h.
    using FieldMap = KoFieldList;
    using Filter = std::function<bool(KoXHeader&)>;

    KoXHeader(std::int32_t methodCode, bool writeEarly, std::int32_t protocolCode,
              const KoMessageLimits& limits = {});
    ~KoXHeader() override;
    KoXHeader(const KoXHeader&) = delete;
    KoXHeader& operator=(const KoXHeader&) = delete;

    // Writes the request or answer header on out; false (nothing written)
    // while the job state does not allow it.
    virtual bool WriteHeader(std::ostream& out);
    // True when the answer may now be written and has not been.
    virtual bool ReadyToWrite();
    virtual std::int32_t ProtocolCode() const;

    // 0 more bytes needed, 1 refused (see RefusalStatus), 2 complete.
    int ConsumeHeader(const Filter& filter);
    // The same parse, in place: reads the header from bytes (the input of
    // the connection from where the last call left off) and sets used to
    // the bytes it took. Nothing is copied but the start of a line that the
    // bytes cut. Once the header has ended (ReadingHeader false), it takes
    // no bytes and answers as ConsumeHeader: a body is given by AppendInput.
    // Not to be mixed with AppendInput while the header is read.
    int ConsumeHeaderFrom(std::string_view bytes, std::size_t& used, const Filter& filter);
    bool ReadingHeader() const { return phase == Phase::header; }
    // The same parse from parts already split (an HTTP/2 request): the
    // request line's words, then each field, then ConsumeFields where the
    // empty line would end the header. Each part passes the checks and
    // limits of its text line ("name: value" and CR LF counted as the line
    // would be), folding aside; a part the text would refuse refuses the
    // header, and false (or Refused) is the answer from then on.
    // ConsumeFields answers as ConsumeHeaderFrom at the header's end: the
    // filter, then the framing; a body is given by AppendInput.
    bool TakeRequestLine(std::string_view method, std::string_view target, std::string_view version);
    bool TakeField(std::string_view name, std::string_view value);
    int ConsumeFields(const Filter& filter);
    // Parses the line held back (a line cut by the end of the input) as one
    // header line; false ends the header.
    bool ParseLine();

    std::shared_ptr<KoXResponseHeader> MakeAnswer() const;
    // scheme "://" [user "@"] host ":" port; empty without a host.
    std::string Authority() const;
    std::string SchemeName() const;

    // --- receiving -------------------------------------------------------
    // The receive stream; after completion it holds exactly the body.
    KoStringBuf& Input();
    // Appends received bytes; once the message is complete they go to the
    // remainder for the next message, once it is refused they are dropped.
    void AppendInput(std::string_view bytes);
    // The unread bytes of the receive stream (the body once complete).
    std::string Body() const;
    // The same bytes where they lie, valid until the input changes.
    std::string_view BodyView() const;
    std::size_t BodySize() const;
    // Bytes behind this message; the next header on the connection starts
    // with them. Taking them empties the store.
    std::string TakeRemainder();
    bool Complete() const;
    // 0 while not refused; else the status to answer (400, 403, 413, 431,
    // 500, 501, 505) before closing.
    std::int32_t RefusalStatus() const;
    const std::string& RefusalReason() const;
    const KoMessageLimits& Limits() const;

    // --- the body's keeping ----------------------------------------------
    // Set by the filter (before any body byte is read). spill: a body up to
    // memoryBound bytes stays in memory, a larger one goes to a temporary
    // file that lives as long as the header (and whoever shares BodySpool);
    // Body() is then empty. A file that cannot be written refuses the
    // message with 500.
    void SetBodyKeeping(KoBodyKeeping how, std::uint64_t memoryBound = 0);
    // stream: where the body goes (set with it, before any body byte).
    void SetBodyPipe(std::shared_ptr<KoRequestBodyPipe> pipe) { bodyPipe = std::move(pipe); }
    const std::shared_ptr<KoRequestBodyPipe>& BodyPipe() const { return bodyPipe; }
    // Whether the body's pipe takes nothing more now: the reader holds the
    // rest of the input back.
    bool BodyHeldBack() const;
    KoBodyKeeping BodyKeeping() const { return keeping; }
    // Body bytes received so far (decoded, for chunks), however kept.
    std::uint64_t BodyBytesReceived() const { return bodyReceived; }
    // The file that holds a spilled body, empty when there is none.
    const std::string& BodyFile() const;
    std::shared_ptr<const platform::TemporaryFile> BodySpool() const { return spool; }
    // Host field lines received, empty ones included.
    std::size_t HostFieldLines() const { return hostLines; }

    // --- reading fields --------------------------------------------------
    bool HasField(std::string_view name) const;
    // The values of a field, made (empty) when it has none: fields[name].
    // The fields take the room of a list that a message of this thread let
    // go of, so a keep-alive request and its answer cost no new field
    // storage.
    std::vector<std::string>& FieldValues(std::string_view name);
    // The length its Content-Length fields announce, when they agree and
    // are plain decimal numbers (as the body will be read).
    bool AnnouncedLength(std::uint64_t& length) const;
    // The first value of a field, or fallback.
    std::string FirstValue(std::string_view name, const std::string& fallback = "") const;
    // A route item by position; the empty string past the end.
    const std::string& RouteItem(std::size_t index) const;

    // --- the form --------------------------------------------------------
    // The fields of the query (GET, HEAD) and of an urlencoded or multipart
    // body become blocks only when something asks for them (FormStatus,
    // Field or ParseBody), once: a message nobody asks costs no form. 0 when
    // the form is sound, else the status that refuses it: 400 for an escape
    // that is not "%" and two hexadecimal digits, 413 for more fields than
    // maxFormFields or a field above maxFormFieldSize. A refused form keeps
    // no blocks. Parsed on the thread that serves the message.
    std::int32_t FormStatus();
    // The block named so in fieldsByName (the form read first), or nullptr.
    KoHTTPMessageBlock* Field(const std::string& name);
    // Appends an empty block and enters it in blocksByPosition.
    KoHTTPMessageBlock& AddBlock();

    // --- members ---------------------------------------------------------
    const std::int32_t protocolCode;
    std::string version = "1.1";
    std::mutex mutex;
    bool headerWritten = false;
    const bool writeEarly;
    std::uint64_t contentLength = 0;
    std::atomic<std::int32_t> methodCode;
    std::atomic<std::int32_t> messageKind{message_kind::Unknown};
    FieldMap fields;
    // An answer's view of its request's fields (MakeAnswer): shared with
    // the request where a shared_ptr holds it, else copied.
    KoSharedMap<FieldMap> requestFields;
    std::int32_t statusCode = 500;

    std::vector<std::unique_ptr<KoHTTPMessageBlock>> blocks;
    KoHTTPMessageBlockDisposition fieldsByName;
    KoHTTPMessageBlockDisposition bodyFieldsByName;
    KoHTTPMessageBlockDisposition queryFieldsByName;
    KoHTTPMessageBlockDisposition blocksByPosition;
    KoHTTPMessageBlockDisposition blocksByRole;  // not filled by the parser

    std::vector<std::string> routeItems;
    std::string path;
    std::string host;
    std::string query;
    std::string requestSummary;
    std::string user;
    std::string boundary;
    std::int64_t port = 0;
    bool presetLength = false;
    bool bodyHasHeader = false;
    std::int64_t createdAt;  // 100 ns ticks since 1970
    std::string location;
    bool closeAfter = false;

    // Where the message came from, recorded by the protocol layer (the
    // description shared with the connection's other requests).
    std::string connectionName;
    std::string serverName;
    KoSharedValues description;
    // Where its answer goes when the layer serves the connection on its
    // loop (else empty), and which request of the connection it answers;
    // MakeAnswer copies both.
    std::weak_ptr<KoAnswerSink> answerSink;
    std::uint64_t answerTicket = 0;

private:
    enum class Phase { header, body, chunked, done, refused };

    int Refuse(std::int32_t status, std::string reason);
    // Header lines from in: used is set to the bytes taken; Complete once
    // the empty line has ended the header.
    int ScanHeader(std::string_view in, std::size_t& used, const Filter& filter);
    bool ParseHeaderLine(std::string_view line);
    bool AskFilter(const Filter& filter);
    // Ends the header where its empty line lies: fields settled, then the
    // filter's answer.
    bool CloseHeader(const Filter& filter);
    bool TakingParts() const;
    // A line of length bytes and its CR LF against the header's limits.
    bool CountLine(std::size_t length);
    int HeaderEnded();
    int ReadBody();
    int ReadChunks();
    int Finish(std::string body);
    // The fields the header's end settles before the filter sees them.
    void SettleFields();
    // A piece of a body kept as SetBodyKeeping said; false when it could not
    // be stored.
    bool KeepBodyPiece(std::string_view piece);
    // Ends a body read in pieces (discarded or spilled).
    int FinishKept();
    bool ParseFirstLine(std::string_view line);
    bool ParseFieldLine(std::string_view line);
    // Method, target and version (method and version in upper case).
    bool TakeRequestWords(std::span<std::string> said);
    bool CountFieldLine();
    // One field line's name and value, as split at its colon.
    bool AcceptField(std::string_view rawName, std::string_view value);
    bool SplitTarget(const std::string& target);
    bool IsHttp10() const;

    const KoMessageLimits limits;
    std::unique_ptr<KoStringBuf> input;
    std::string lineBuffer;  // the start of a line the input cut
    bool headerOpen = true;
    std::size_t linesRead = 0;

    Phase phase = Phase::header;
    std::size_t headerBytes = 0;
    std::size_t fieldLines = 0;
    std::size_t hostLines = 0;
    std::string targetAuthority;  // of an absolute-form target
    std::int32_t refusalStatus = 0;
    std::string refusalReason;
    std::string remainder;
    std::unique_ptr<message_detail::ChunkedDecoder> chunks;
    std::string decoded;
    KoBodyKeeping keeping = KoBodyKeeping::memory;
    std::uint64_t memoryBound = 0;
    std::uint64_t bodyReceived = 0;
    std::string held;  // a spilled body's bytes while it fits memoryBound
    std::shared_ptr<platform::TemporaryFile> spool;
    std::shared_ptr<KoRequestBodyPipe> bodyPipe;
    bool formRead = false;
    std::int32_t formStatus = 0;
};
