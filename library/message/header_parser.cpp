// The receiving half of KoXHeader: header lines, framing and the body.
#include <algorithm>
#include <cctype>
#include <functional>
#include <span>
#include <string>
#include <utility>

#include "foundation/text_utils.h"
#include "message/buffer_view.h"
#include "message/chunked_decoder.h"
#include "message/http_tables.h"
#include "message/request_body_pipe.h"
#include "message/x_header.h"
#include "platform/temporary_file.h"

namespace {

constexpr std::size_t kChunkFeed = 64 * 1024;
// Longer than a short string's own room: made once.
const std::string kTransferEncoding = "transfer-encoding";
const std::string kContentLength = "content-length";
const std::string kConnection = "connection";
const std::string kFirstLine = ":first:";
// Bytes of a spilled body gathered before they are written to its file.
constexpr std::size_t kSpoolRun = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The bytes a header line cannot hold as they are.
bool EndsPlainRun(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// ASCII only, without the locale's tables: tokens and versions are ASCII,
// and nothing else is compared after a change of case.
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Lower(std::string text) {
    for (char& c : text) c = AsciiLower(c);
    return text;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Whether a list field (comma-separated tokens in any case, over all its
// lines) names token itself; "x-closed-thing" names no "close".
bool ListHasToken(const std::vector<std::string>& values, std::string_view token) {
    for (std::string_view value : values) {
        while (!value.empty()) {
            const std::size_t comma = value.find(',');
            std::string_view item = value.substr(0, comma);
            value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
            while (!item.empty() && IsBlank(item.front())) item.remove_prefix(1);
            while (!item.empty() && IsBlank(item.back())) item.remove_suffix(1);
            if (SameIgnoringCase(item, token)) return true;
        }
    }
    return false;
}

// A plain decimal number of at most 19 digits, so that it fits 64 bits.
bool ParsePlainDecimal(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

}  // namespace

int KoXHeader::ConsumeHeader(const Filter& filter) {
    switch (phase) {
    case Phase::done:
        return consume_result::Complete;
    case Phase::refused:
        return consume_result::Refused;
    case Phase::body:
        return ReadBody();
    case Phase::chunked:
        return ReadChunks();
    case Phase::header:
        break;
    }
    if (headerOpen) {
        KoStringBuf& in = Input();
        std::size_t used = 0;
        const int result = ScanHeader(message_detail::Unread(in), used, filter);
        // A refusal has let go of the input.
        if (result == consume_result::Refused) return result;
        in.pubseekoff(static_cast<std::streamoff>(used), std::ios_base::cur, std::ios_base::in);
        if (result == consume_result::NeedMore) return result;
    }
    return HeaderEnded();
}

int KoXHeader::ConsumeHeaderFrom(std::string_view bytes, std::size_t& used, const Filter& filter) {
    used = 0;
    if (phase != Phase::header) return ConsumeHeader(filter);
    if (headerOpen) {
        const int result = ScanHeader(bytes, used, filter);
        if (result != consume_result::Complete) return result;
    }
    return HeaderEnded();
}

int KoXHeader::ScanHeader(std::string_view in, std::size_t& used, const Filter& filter) {
    std::size_t at = 0;
    std::size_t lineStart = 0;
    // A line cut by the end of the bytes is kept for the next call.
    const auto needMore = [&] {
        lineBuffer.append(in.substr(lineStart, at - lineStart));
        used = at;
        return consume_result::NeedMore;
    };
    const auto refuse = [&](std::int32_t status, const char* reason) {
        used = at;
        return Refuse(status, reason);
    };
    while (headerOpen) {
        std::size_t stop = at;
        while (stop < in.size() && !EndsPlainRun(in[stop])) ++stop;
        // Every byte counts against both limits; at the first byte past
        // one, the header's limit is tested before the line's.
        const std::size_t headerRoom = limits.maxHeaderSize - headerBytes;
        const std::size_t lineRoom = limits.maxLineLength - (lineBuffer.size() + (at - lineStart));
        const std::size_t run = stop - at;
        if (run > headerRoom || run > lineRoom) {
            return headerRoom <= lineRoom ? refuse(431, "header too large") : refuse(431, "header line too long");
        }
        headerBytes += run;
        at = stop;
        if (at == in.size()) return needMore();

        const char c = in[at];
        if (++headerBytes > limits.maxHeaderSize) return refuse(431, "header too large");
        if (c == '\n') return refuse(400, "LF without CR in the header");
        if (c == '\0') return refuse(400, "NUL in the header");
        if (at + 1 == in.size()) {
            // The LF may come with the next bytes.
            --headerBytes;
            return needMore();
        }
        if (in[at + 1] != '\n') return refuse(400, "CR without LF in the header");
        if (++headerBytes > limits.maxHeaderSize) return refuse(431, "header too large");

        std::string_view line = in.substr(lineStart, at - lineStart);
        if (!lineBuffer.empty()) {
            lineBuffer.append(line);
            line = lineBuffer;
        }
        at += 2;
        lineStart = at;
        if (!line.empty()) {
            headerOpen = ParseHeaderLine(line);
            if (phase == Phase::refused) {
                used = at;
                return consume_result::Refused;
            }
        } else if (linesRead > 0) {
            if (!CloseHeader(filter)) return refuse(403, "refused by the filter");
        }
        // An empty line before the first line is a leftover line end of
        // the previous message; it is skipped.
        lineBuffer.clear();
    }
    used = at;
    return consume_result::Complete;
}

bool KoXHeader::AnnouncedLength(std::uint64_t& length) const {
    const auto found = fields.find(kContentLength);
    if (found == fields.end() || found->second.empty()) return false;
    bool first = true;
    for (const std::string& v : found->second) {
        std::uint64_t n = 0;
        if (!ParsePlainDecimal(v, n) || (!first && n != length)) return false;
        length = n;
        first = false;
    }
    return true;
}

bool KoXHeader::AskFilter(const Filter& filter) {
    // A filter that fails leaves no half-read header behind to resume.
    if (!filter) {
        Refuse(500, "no filter");
        throw std::bad_function_call();
    }
    try {
        return filter(*this);
    } catch (...) {
        Refuse(500, "the filter failed");
        throw;
    }
}

void KoXHeader::SettleFields() {
    if (messageKind.load() == message_kind::Unknown) return;
    // The authority of an absolute target names the host; Host is ignored.
    if (!targetAuthority.empty()) fields["host"] = {targetAuthority};

    auto connection = fields.find(kConnection);
    if (connection != fields.end() && ListHasToken(connection->second, "close")) {
        closeAfter = true;
    }
    if (IsHttp10() && (connection == fields.end() || !ListHasToken(connection->second, "keep-alive"))) {
        closeAfter = true;
    }
}

int KoXHeader::HeaderEnded() {
    if (messageKind.load() == message_kind::Unknown) {
        // What follows an unknown first line cannot be framed.
        closeAfter = true;
        return Finish({});
    }

    const bool hasLength = HasField(kContentLength);
    if (HasField(kTransferEncoding)) {
        if (hasLength) return Refuse(400, "Transfer-Encoding together with Content-Length");
        if (IsHttp10()) return Refuse(400, "Transfer-Encoding on HTTP/1.0");
        std::string coding;
        for (const std::string& v : fields[kTransferEncoding]) {
            if (!coding.empty()) coding += ",";
            coding += Lower(v);
        }
        if (coding != "chunked") return Refuse(501, "transfer coding not implemented");
        if (keeping == KoBodyKeeping::skip) {
            // Whatever the peer sends now cannot be told from a next message.
            closeAfter = true;
            return Finish({});
        }
        chunks = std::make_unique<message_detail::ChunkedDecoder>(
            limits.maxBodySize, limits.maxLineLength, limits.maxHeaderSize);
        phase = Phase::chunked;
        return ReadChunks();
    }
    if (!hasLength) return Finish({});

    std::uint64_t length = 0;
    bool first = true;
    for (const std::string& v : fields["content-length"]) {
        std::uint64_t n = 0;
        if (!ParsePlainDecimal(v, n)) return Refuse(400, "malformed Content-Length");
        if (!first && n != length) return Refuse(400, "conflicting Content-Length values");
        length = n;
        first = false;
    }
    if (length > limits.maxBodySize) return Refuse(413, "body too large");
    contentLength = length;
    if (keeping == KoBodyKeeping::skip && length != 0) {
        closeAfter = true;
        return Finish({});
    }
    phase = Phase::body;
    return ReadBody();
}

int KoXHeader::ReadBody() {
    if (contentLength == 0) return Finish({});
    KoStringBuf& in = Input();
    if (keeping == KoBodyKeeping::memory) {
        const std::size_t unread = message_detail::UnreadSize(in);
        bodyReceived = std::min<std::uint64_t>(unread, contentLength);
        if (unread < contentLength) return consume_result::NeedMore;
        std::string body(static_cast<std::size_t>(contentLength), '\0');
        in.sgetn(body.data(), static_cast<std::streamsize>(contentLength));
        return Finish(std::move(body));
    }
    // Taken as it comes: nothing of it stays in the input.
    const std::string_view unread = message_detail::Unread(in);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(unread.size(), contentLength - bodyReceived));
    if (!KeepBodyPiece(unread.substr(0, take))) return Refuse(500, "the body could not be stored");
    bodyReceived += take;
    if (bodyReceived < contentLength) {
        input.reset();
        return consume_result::NeedMore;
    }
    in.pubseekoff(static_cast<std::streamoff>(take), std::ios_base::cur, std::ios_base::in);
    return FinishKept();
}

int KoXHeader::ReadChunks() {
    KoStringBuf& in = Input();
    std::string piece;
    const bool inPieces = keeping != KoBodyKeeping::memory;
    while (message_detail::HasUnread(in)) {
        piece.resize(kChunkFeed);
        piece.resize(static_cast<std::size_t>(in.sgetn(piece.data(), kChunkFeed)));
        std::size_t used = 0;
        const std::size_t before = decoded.size();
        const auto status = chunks->Feed(piece, decoded, used);
        bodyReceived += decoded.size() - before;
        if (inPieces) {
            if (!KeepBodyPiece(decoded)) return Refuse(500, "the body could not be stored");
            decoded.clear();
        }
        switch (status) {
        case message_detail::ChunkedDecoder::Status::needMore:
            break;
        case message_detail::ChunkedDecoder::Status::malformed:
            return Refuse(400, "malformed chunked body");
        case message_detail::ChunkedDecoder::Status::tooLarge:
            return Refuse(413, "chunked body too large");
        case message_detail::ChunkedDecoder::Status::done: {
            chunks.reset();
            // From here on the message reads as one with a plain length;
            // a streamed one's handler reads its fields meanwhile.
            if (keeping != KoBodyKeeping::stream) {
                fields.erase("transfer-encoding");
                contentLength = bodyReceived;
                fields["content-length"] = {std::to_string(contentLength)};
            }
            remainder = piece.substr(used) + message_detail::TakeUnread(in) + remainder;
            if (inPieces) return FinishKept();
            std::string body = std::move(decoded);
            decoded.clear();
            return Finish(std::move(body));
        }
        }
    }
    // The coded bytes are read: the buffer need not keep them.
    input.reset();
    return consume_result::NeedMore;
}

void KoXHeader::SetBodyKeeping(KoBodyKeeping how, std::uint64_t bound) {
    keeping = how;
    memoryBound = bound;
}

const std::string& KoXHeader::BodyFile() const {
    static const std::string kNone;
    return spool ? spool->path() : kNone;
}

bool KoXHeader::BodyHeldBack() const { return keeping == KoBodyKeeping::stream && bodyPipe && bodyPipe->full(); }

bool KoXHeader::KeepBodyPiece(std::string_view piece) {
    if (keeping == KoBodyKeeping::stream && bodyPipe) bodyPipe->push(piece);
    if (piece.empty() || keeping != KoBodyKeeping::spill) return true;
    held.append(piece);
    if (!spool) {
        if (held.size() <= memoryBound) return true;
        auto made = platform::TemporaryFile::create("velko-body-");
        if (!made.ok()) return false;
        spool = std::make_shared<platform::TemporaryFile>(std::move(made.value()));
        const bool written = spool->append(held).ok();
        std::string().swap(held);
        return written;
    }
    // Written in runs, not with a system call per piece.
    if (held.size() < kSpoolRun) return true;
    const bool written = spool->append(held).ok();
    held.clear();
    return written;
}

int KoXHeader::FinishKept() {
    if (keeping != KoBodyKeeping::spill) return Finish({});
    if (!spool) return Finish(std::exchange(held, std::string()));
    const bool written = held.empty() || spool->append(held).ok();
    std::string().swap(held);
    if (!written) return Refuse(500, "the body could not be stored");
    return Finish({});
}

int KoXHeader::Finish(std::string body) {
    // Whatever way the body ended (none, a length, chunks), it is whole.
    if (keeping == KoBodyKeeping::stream && bodyPipe) bodyPipe->end(true);
    if (input && message_detail::HasUnread(*input)) remainder.insert(0, message_detail::TakeUnread(*input));
    // A message without a body needs no buffer for it.
    if (body.empty()) {
        input.reset();
    } else {
        input = message_detail::BufferOf(std::move(body));
    }
    std::string().swap(lineBuffer);
    phase = Phase::done;
    return consume_result::Complete;
}

int KoXHeader::Refuse(std::int32_t status, std::string reason) {
    phase = Phase::refused;
    headerOpen = false;
    refusalStatus = status;
    refusalReason = std::move(reason);
    if (keeping == KoBodyKeeping::stream) {
        // Its handler reads closeAfter; the connection closes all the same.
        if (bodyPipe) bodyPipe->end(false);
    } else {
        closeAfter = true;
    }
    // Nothing more is read from this connection.
    input.reset();
    lineBuffer.clear();
    chunks.reset();
    decoded.clear();
    std::string().swap(held);
    spool.reset();
    return consume_result::Refused;
}

bool KoXHeader::ParseLine() { return ParseHeaderLine(lineBuffer); }

bool KoXHeader::ParseHeaderLine(std::string_view line) {
    return linesRead == 0 ? ParseFirstLine(line) : ParseFieldLine(line);
}

namespace {

void UpperCase(std::string& text) {
    for (char& c : text) c = AsciiUpper(c);
}

constexpr std::size_t npos = std::string_view::npos;

// Where the first blank (or, with blank false, the first other byte) lies
// from `from` on; searched byte by byte, for a set of two bytes.
std::size_t FindBlank(std::string_view text, std::size_t from, bool blank = true) {
    for (; from < text.size(); ++from) {
        if (IsBlank(text[from]) == blank) return from;
    }
    return npos;
}

// The last byte that is not a blank, npos for none.
std::size_t LastNonBlank(std::string_view text) {
    for (std::size_t at = text.size(); at > 0; --at) {
        if (!IsBlank(text[at - 1])) return at - 1;
    }
    return npos;
}

// Words of a line split at runs of blanks; the last of count words takes the
// rest of the line, blanks inside kept, trailing blanks trimmed.
// Appends at most count words of line to words (the last one takes the rest
// of the line); the number appended.
std::size_t AppendWords(std::string_view line, std::size_t count, std::vector<std::string>& words) {
    std::size_t appended = 0;
    std::size_t at = FindBlank(line, 0, false);
    while (at != npos) {
        if (appended + 1 == count) {
            words.emplace_back(line.substr(at, LastNonBlank(line) - at + 1));
            return appended + 1;
        }
        const std::size_t end = FindBlank(line, at);
        words.emplace_back(line.substr(at, end == npos ? end : end - at));
        ++appended;
        at = end == npos ? end : FindBlank(line, end, false);
    }
    return appended;
}

bool Digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "HTTP/" (or "VELKO/" where allowed), a digit, ".", a digit; version gets
// major * 10 + minor.
bool ParseVersion(std::string_view token, bool velko, int& version) {
    std::string_view number;
    if (token.rfind("HTTP/", 0) == 0) {
        number = token.substr(5);
    } else if (velko && token.rfind("VELKO/", 0) == 0) {
        number = token.substr(6);
    }
    if (number.size() != 3 || !Digits(number.substr(0, 1)) || number[1] != '.' || !Digits(number.substr(2))) {
        return false;
    }
    version = (number[0] - '0') * 10 + (number[2] - '0');
    return true;
}

// HTAB is the one control byte a value may hold; obs-text (0x80 and up)
// stays allowed.
bool IsControlInValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && c != '\t') || u == 0x7f;
}

bool HasBlankOrControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 0x20 || u == 0x7f;
    });
}

}  // namespace

bool KoXHeader::ParseFirstLine(std::string_view line) {
    messageKind.store(message_kind::Unknown);
    // The line's words are kept as the ":first:" field and read from there.
    std::vector<std::string>& first = FieldValues(":first:");
    const std::size_t from = first.size();
    first.reserve(from + 3);
    const std::size_t count = AppendWords(line, 3, first);
    const std::span<std::string> said(first.data() + from, count);
    for (std::size_t i = 0; i < said.size(); i += 2) UpperCase(said[i]);
    ++linesRead;

    if (!said.empty() && (said[0].rfind("HTTP/", 0) == 0 || said[0].rfind("VELKO/", 0) == 0)) {
        // A status line: version, code, reason phrase.
        messageKind.store(message_kind::Answer);
        if (said.size() >= 2 && said[1].size() == 3 && Digits(said[1])) statusCode = std::stoi(said[1]);
        return true;
    }
    // A request line: exactly method, target and version.
    if (said.size() != 3) {
        Refuse(400, "malformed request line");
        return false;
    }
    return TakeRequestWords(said);
}

bool KoXHeader::TakeRequestWords(std::span<std::string> said) {
    // Split from a line, the method and the target cannot be empty.
    if (said[0].empty() || said[1].empty() || HasBlankOrControl(said[1]) || HasBlankOrControl(said[2])) {
        Refuse(400, "malformed request line");
        return false;
    }
    int version = 0;
    if (!ParseVersion(said[2], protocolCode == protocol::VELKO || protocolCode == protocol::VELKOS, version)) {
        Refuse(400, "malformed protocol version");
        return false;
    }
    if (version != 10 && version != 11) {
        Refuse(505, "protocol version not supported");
        return false;
    }
    const std::optional<std::int32_t> code = MethodCodeOf(said[0]);
    if (!code || !IsRequestMethod(*code)) {
        Refuse(IsHttpToken(said[0]) ? 501 : 400, "method not implemented");
        return false;
    }
    messageKind.store(message_kind::Request);
    methodCode.store(*code);
    return SplitTarget(said[1]);
}

bool KoXHeader::SplitTarget(const std::string& target) {
    // Read where it lies: only the path and the query are copied.
    std::string_view rest = target;
    const std::optional<KoAbsoluteTarget> absolute = KoSplitAbsoluteTarget(target);
    if (absolute) {
        if (!absolute->usable) {
            Refuse(400, "absolute target with another scheme, user information or no host");
            return false;
        }
        targetAuthority = absolute->authority;
        rest = absolute->origin;
    }
    const std::size_t mark = rest.find('?');
    path.assign(rest.substr(0, mark));
    // "%" and two hexadecimal digits, or the path means nothing certain.
    if (!percentEscapesWellFormed(path)) {
        Refuse(400, "malformed percent escape in the path");
        return false;
    }
    if (mark == std::string_view::npos) return true;
    const std::int32_t method = methodCode.load();
    // Its fields are read when something asks for the form.
    if (method == method_code::GET || method == method_code::HEAD) query.assign(rest.substr(mark + 1));
    return true;
}

bool KoXHeader::ParseFieldLine(std::string_view line) {
    // A continuation line would be read differently by other parsers.
    if (!line.empty() && IsBlank(line.front())) {
        Refuse(400, "folded header line");
        return false;
    }
    // Every line other parsers might read as another field, or as none, is
    // refused rather than guessed at.
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        // Still a field line: too many of them is told first.
        if (!CountFieldLine()) return false;
        Refuse(400, "field line without a colon");
        return false;
    }
    return AcceptField(line.substr(0, colon), line.substr(colon + 1));
}

bool KoXHeader::CountFieldLine() {
    if (++fieldLines > limits.maxFieldCount) {
        Refuse(431, "too many header fields");
        return false;
    }
    return true;
}

bool KoXHeader::AcceptField(std::string_view rawName, std::string_view value) {
    if (!CountFieldLine()) return false;
    if (rawName.empty()) {
        Refuse(400, "field line without a name");
        return false;
    }
    if (std::any_of(rawName.begin(), rawName.end(), IsBlank)) {
        Refuse(400, "white space in a field name");
        return false;
    }
    if (!IsHttpToken(rawName)) {
        Refuse(400, "field name is not a token");
        return false;
    }
    if (std::any_of(value.begin(), value.end(), IsControlInValue)) {
        Refuse(400, "control byte in a field value");
        return false;
    }
    ++linesRead;
    // Counted even when empty: one Host line is a rule of HTTP/1.1.
    if (sameLetters(rawName, "host")) ++hostLines;
    // The value as received, without the blanks around it.
    const std::size_t first = FindBlank(value, 0, false);
    if (first == npos) {
        // A framing field that says nothing frames nothing certain.
        if (sameLetters(rawName, kContentLength) || sameLetters(rawName, kTransferEncoding)) {
            Refuse(400, "empty framing field");
            return false;
        }
        return true;  // an empty value is dropped
    }
    value = value.substr(first, LastNonBlank(value) - first + 1);
    // Stored under its name in lower case, in room the fields kept.
    fields.append(rawName, value, KoFieldList::NameCase::lower);
    return true;
}

bool KoXHeader::CloseHeader(const Filter& filter) {
    headerOpen = false;
    SettleFields();
    return AskFilter(filter);
}

bool KoXHeader::TakingParts() const { return phase == Phase::header && headerOpen; }

bool KoXHeader::CountLine(std::size_t length) {
    // As ScanHeader counts the same line as text: the line against both
    // limits, the header's tested first, then its CR LF.
    const std::size_t headerRoom = limits.maxHeaderSize - headerBytes;
    if (length > headerRoom || length > limits.maxLineLength) {
        Refuse(431, headerRoom <= limits.maxLineLength ? "header too large" : "header line too long");
        return false;
    }
    if (length + 2 > headerRoom) {
        Refuse(431, "header too large");
        return false;
    }
    headerBytes += length + 2;
    return true;
}

bool KoXHeader::TakeRequestLine(std::string_view method, std::string_view target, std::string_view version) {
    if (!TakingParts()) return false;
    if (linesRead != 0) {
        Refuse(400, "a second request line");
        return false;
    }
    if (!CountLine(method.size() + 1 + target.size() + 1 + version.size())) return false;
    messageKind.store(message_kind::Unknown);
    std::vector<std::string>& first = FieldValues(":first:");
    const std::size_t from = first.size();
    first.reserve(from + 3);
    first.emplace_back(method);
    first.emplace_back(target);
    first.emplace_back(version);
    // Upper case as a line's method and version are read.
    UpperCase(first[from]);
    UpperCase(first[from + 2]);
    ++linesRead;
    return TakeRequestWords(std::span<std::string>(first.data() + from, 3));
}

bool KoXHeader::TakeField(std::string_view name, std::string_view value) {
    if (!TakingParts()) return false;
    if (linesRead == 0) {
        Refuse(400, "a field before the request line");
        return false;
    }
    if (!CountLine(name.size() + 2 + value.size())) return false;
    return AcceptField(name, value);
}

int KoXHeader::ConsumeFields(const Filter& filter) {
    if (phase == Phase::refused) return consume_result::Refused;
    if (!TakingParts()) return ConsumeHeader(filter);
    if (linesRead == 0) return Refuse(400, "no request line");
    // The empty line that ends the header as text.
    if (limits.maxHeaderSize - headerBytes < 2) return Refuse(431, "header too large");
    headerBytes += 2;
    if (!CloseHeader(filter)) return Refuse(403, "refused by the filter");
    return HeaderEnded();
}

bool KoXHeader::IsHttp10() const {
    auto it = fields.find(kFirstLine);
    if (it == fields.end()) return false;
    const std::vector<std::string>& first = it->second;
    if (messageKind.load() == message_kind::Request) return first.size() >= 3 && first[2] == "HTTP/1.0";
    return !first.empty() && first[0] == "HTTP/1.0";
}

std::optional<KoAbsoluteTarget> KoSplitAbsoluteTarget(std::string_view target) {
    const std::size_t colon = target.find("://");
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view scheme = target.substr(0, colon);
    const auto schemeByte = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '+' || c == '-' || c == '.';
    };
    if (std::isalpha(static_cast<unsigned char>(scheme.front())) == 0 ||
        !std::all_of(scheme.begin(), scheme.end(), schemeByte)) {
        return std::nullopt;
    }
    KoAbsoluteTarget split;
    const std::string lowered = Lower(std::string(scheme));
    const std::string_view rest = target.substr(colon + 3);
    const std::size_t end = rest.find_first_of("/?");
    split.authority = std::string(rest.substr(0, end));
    split.origin = end == std::string_view::npos ? std::string("/") : std::string(rest.substr(end));
    if (split.origin.front() == '?') split.origin.insert(0, "/");
    split.usable = (lowered == "http" || lowered == "https") && !split.authority.empty() &&
                   split.authority.find('@') == std::string::npos;
    return split;
}
