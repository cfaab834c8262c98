// The receiving half of KoXHeader: header lines, framing and the body.
#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <utility>

#include "message/buffer_view.h"
#include "message/chunked_decoder.h"
#include "message/http_tables.h"
#include "message/message_body.h"
#include "message/x_header.h"

namespace {

constexpr std::size_t kChunkFeed = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ContainsToken(const std::vector<std::string>& values, const std::string& token) {
    return std::any_of(values.begin(), values.end(), [&](const std::string& v) {
        return Lower(v).find(token) != std::string::npos;
    });
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

    KoStringBuf& in = Input();
    if (headerOpen && !lineBuffer) lineBuffer = std::make_unique<KoStringBuf>();
    while (headerOpen) {
        if (!message_detail::HasUnread(in)) return consume_result::NeedMore;
        const char c = static_cast<char>(in.sbumpc());
        if (++headerBytes > limits.maxHeaderSize) return Refuse(431, "header too large");

        if (c == '\r') {
            if (!message_detail::HasUnread(in)) {
                // The LF may come with the next chunk.
                in.sungetc();
                --headerBytes;
                return consume_result::NeedMore;
            }
            if (in.sgetc() != '\n') return Refuse(400, "CR without LF in the header");
            in.sbumpc();
            if (++headerBytes > limits.maxHeaderSize) return Refuse(431, "header too large");

            if (!lineBuffer->view().empty()) {
                headerOpen = ParseLine();
                if (phase == Phase::refused) return consume_result::Refused;
            } else if (linesRead > 0) {
                headerOpen = false;
                if (!AskFilter(filter)) return Refuse(403, "refused by the filter");
            }
            // An empty line before the first line is a leftover line end of
            // the previous message; it is skipped.
            lineBuffer = std::make_unique<KoStringBuf>();
            continue;
        }
        if (c == '\n') return Refuse(400, "LF without CR in the header");
        if (c == '\0') return Refuse(400, "NUL in the header");
        lineBuffer->sputc(c);
        if (lineBuffer->view().size() > limits.maxLineLength) {
            return Refuse(431, "header line too long");
        }
    }
    return HeaderEnded();
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

int KoXHeader::HeaderEnded() {
    if (messageKind.load() == message_kind::Unknown) {
        // What follows an unknown first line cannot be framed.
        closeAfter = true;
        return Finish({});
    }

    auto connection = fields.find("connection");
    if (connection != fields.end() && ContainsToken(connection->second, "close")) {
        closeAfter = true;
    }
    if (IsHttp10() && (connection == fields.end() || !ContainsToken(connection->second, "keep-alive"))) {
        closeAfter = true;
    }

    const bool hasLength = HasField("content-length");
    if (HasField("transfer-encoding")) {
        if (hasLength) return Refuse(400, "Transfer-Encoding together with Content-Length");
        if (IsHttp10()) return Refuse(400, "Transfer-Encoding on HTTP/1.0");
        std::string coding;
        for (const std::string& v : fields["transfer-encoding"]) {
            if (!coding.empty()) coding += ",";
            coding += Lower(v);
        }
        if (coding != "chunked") return Refuse(501, "transfer coding not implemented");
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
    phase = Phase::body;
    return ReadBody();
}

int KoXHeader::ReadBody() {
    KoStringBuf& in = Input();
    if (message_detail::UnreadSize(in) < contentLength) return consume_result::NeedMore;
    std::string body(static_cast<std::size_t>(contentLength), '\0');
    in.sgetn(body.data(), static_cast<std::streamsize>(contentLength));
    return Finish(std::move(body));
}

int KoXHeader::ReadChunks() {
    KoStringBuf& in = Input();
    std::string piece;
    while (message_detail::HasUnread(in)) {
        piece.resize(kChunkFeed);
        piece.resize(static_cast<std::size_t>(in.sgetn(piece.data(), kChunkFeed)));
        std::size_t used = 0;
        switch (chunks->Feed(piece, decoded, used)) {
        case message_detail::ChunkedDecoder::Status::needMore:
            break;
        case message_detail::ChunkedDecoder::Status::malformed:
            return Refuse(400, "malformed chunked body");
        case message_detail::ChunkedDecoder::Status::tooLarge:
            return Refuse(413, "chunked body too large");
        case message_detail::ChunkedDecoder::Status::done: {
            // From here on the message reads as one with a plain length.
            chunks.reset();
            fields.erase("transfer-encoding");
            contentLength = decoded.size();
            fields["content-length"] = {std::to_string(contentLength)};
            std::string body = std::move(decoded);
            decoded.clear();
            remainder = piece.substr(used) + message_detail::TakeUnread(in) + remainder;
            return Finish(std::move(body));
        }
        }
    }
    return consume_result::NeedMore;
}

int KoXHeader::Finish(std::string body) {
    KoStringBuf& in = Input();
    remainder = message_detail::TakeUnread(in) + remainder;
    input = message_detail::BufferOf(std::move(body));
    lineBuffer.reset();
    phase = Phase::done;
    return consume_result::Complete;
}

int KoXHeader::Refuse(std::int32_t status, std::string reason) {
    phase = Phase::refused;
    headerOpen = false;
    refusalStatus = status;
    refusalReason = std::move(reason);
    closeAfter = true;
    // Nothing more is read from this connection.
    input.reset();
    lineBuffer.reset();
    chunks.reset();
    decoded.clear();
    return consume_result::Refused;
}

bool KoXHeader::ParseLine() {
    const std::string line(lineBuffer ? lineBuffer->view() : std::string_view());
    return linesRead == 0 ? ParseFirstLine(line) : ParseFieldLine(line);
}

bool KoXHeader::ParseFirstLine(std::string_view line) {
    messageKind.store(message_kind::Unknown);
    std::vector<std::string> tokens;
    std::string token;
    auto classify = [this](const std::string& t) {
        if (auto code = MethodCodeOf(t)) {
            messageKind.store(message_kind::Request);
            methodCode.store(*code);
        } else if (t.rfind("HTTP/", 0) == 0 || t.rfind("VELKO/", 0) == 0) {
            messageKind.store(message_kind::Answer);
        }
    };
    auto upper = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };

    for (char c : line) {
        const std::size_t index = tokens.size();
        if (index < 2) {
            if (c == ' ') {
                if (!token.empty()) {
                    if (index == 0) classify(token);
                    tokens.push_back(std::move(token));
                    token.clear();
                }
            } else if (c != '\t') {
                token += index == 0 ? upper(c) : c;
            }
        } else if (!token.empty() || !IsBlank(c)) {
            // The last token runs to the end of the line, inner blanks kept.
            token += upper(c);
        }
    }
    if (!token.empty()) {
        if (tokens.empty()) classify(token);
        tokens.push_back(std::move(token));
    }

    std::vector<std::string>& first = fields[":first:"];
    first.insert(first.end(), tokens.begin(), tokens.end());
    if (tokens.size() >= 2) {
        SplitTarget(tokens[1]);
        if (messageKind.load() == message_kind::Answer && tokens[1].size() == 3 &&
            std::all_of(tokens[1].begin(), tokens[1].end(), [](char c) { return c >= '0' && c <= '9'; })) {
            statusCode = std::stoi(tokens[1]);
        }
    }
    ++linesRead;
    return messageKind.load() != message_kind::Unknown;
}

void KoXHeader::SplitTarget(const std::string& target) {
    const std::size_t mark = target.find('?');
    if (mark == std::string::npos) {
        path = target;
        return;
    }
    path = target.substr(0, mark);
    const std::int32_t method = methodCode.load();
    if (method == method_code::GET || method == method_code::HEAD) {
        query = target.substr(mark + 1);
        AddQueryBlocks(*this);
    }
}

bool KoXHeader::ParseFieldLine(std::string_view line) {
    // A continuation line would be read differently by other parsers.
    if (!line.empty() && IsBlank(line.front())) {
        Refuse(400, "folded header line");
        return false;
    }

    std::string name;
    std::string value;
    bool inName = true;
    bool blankInName = false;
    bool blankPending = false;
    bool blankInValue = false;
    for (char c : line) {
        if (inName) {
            if (c == ':') {
                if (name.empty()) continue;
                if (blankInName) {
                    Refuse(400, "white space in a field name");
                    return false;
                }
                inName = false;
            } else if (IsBlank(c)) {
                blankInName = true;
            } else {
                name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        } else if (IsBlank(c)) {
            blankPending = !value.empty();
        } else if (c == ':' && value.empty()) {
            continue;
        } else {
            blankInValue = blankInValue || blankPending;
            blankPending = false;
            value += c;
        }
    }
    if (++fieldLines > limits.maxFieldCount) {
        Refuse(431, "too many header fields");
        return false;
    }
    if (inName) return true;  // no colon: the line is dropped

    ++linesRead;
    if (name == "content-length" && blankInValue) {
        Refuse(400, "malformed Content-Length");
        return false;
    }
    if (!name.empty() && !value.empty()) fields[name].push_back(std::move(value));
    return true;
}

bool KoXHeader::IsHttp10() const {
    auto it = fields.find(":first:");
    if (it == fields.end()) return false;
    const std::vector<std::string>& first = it->second;
    if (messageKind.load() == message_kind::Request) return first.size() >= 3 && first[2] == "HTTP/1.0";
    return !first.empty() && first[0] == "HTTP/1.0";
}
