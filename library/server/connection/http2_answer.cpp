#include "server/connection/http2_answer.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "platform/open_file.h"
#include "server/files/file_cache.h"
#include "server/http/http_answer.h"

namespace {

// Fields that belong to one HTTP/1.1 connection, never to an HTTP/2 stream.
bool ConnectionSpecific(std::string_view name) {
    return name == "connection" || name == "keep-alive" || name == "proxy-connection" ||
           name == "transfer-encoding" || name == "upgrade";
}

// Field names are ASCII: no locale is asked.
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// AsciiLower on every byte of [at, at + length), eight bytes at a time:
// an answer's dozen names are lowered for each answer.
void LowerInPlace(char* at, std::size_t length) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highBits = 0x8080808080808080ull;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, at + i, 8);
        const std::uint64_t low7 = word & ~highBits;
        // The high bit of each byte: set where it is 'A' or above, and where it is above 'Z'.
        const std::uint64_t fromA = low7 + ones * (0x80 - 'A');
        const std::uint64_t pastZ = low7 + ones * (0x7f - 'Z');
        const std::uint64_t upper = (fromA ^ pastZ) & ~word & highBits;
        word |= upper >> 2;  // 0x80 >> 2 is the case bit, 0x20
        std::memcpy(at + i, &word, 8);
    }
    for (; i < length; ++i) at[i] = AsciiLower(at[i]);
}

// ConnectionSpecific for a name in any case, looked at only when its length
// is one of theirs (most names are not).
bool ConnectionSpecificAnyCase(std::string_view name) {
    constexpr std::size_t longest = 17;  // "transfer-encoding"
    switch (name.size()) {
    case 7:
    case 10:
    case 16:
    case longest:
        break;
    default:
        return false;
    }
    char lowered[longest];
    for (std::size_t i = 0; i < name.size(); ++i) lowered[i] = AsciiLower(name[i]);
    return ConnectionSpecific(std::string_view(lowered, name.size()));
}

// A body of pieces: text, then bytes of a file, and so on (a range answer's
// parts), read where they lie.
class PiecesBody final : public KoHttp2Body {
public:
    struct Piece {
        std::string text;
        std::shared_ptr<const KoOpenFile> file;
        std::shared_ptr<std::ifstream> stream;
        std::uint64_t offset = 0;
        std::uint64_t left = 0;
        bool positioned = false;  // the stream stands at offset
    };

    // Made and dropped for every answer: from the thread's spare blocks.
    static void* operator new(std::size_t size) { return spare_buffers::takeBlock(size); }
    static void operator delete(void* block, std::size_t size) noexcept { spare_buffers::giveBlock(block, size); }

    PiecesBody(std::vector<Piece> pieces, std::uint64_t* sent)
        : pieces_(std::move(pieces)), count_(pieces_.size()), sent_(sent) {}
    // The usual answer, the text or the file whole, without a list.
    PiecesBody(Piece piece, std::uint64_t* sent) : one_(std::move(piece)), count_(1), sent_(sent) {}

    Read read(char* into, std::size_t capacity) override {
        Read result;
        while (result.bytes < capacity && at_ < count_) {
            Piece& piece = pieces_.empty() ? one_ : pieces_[at_];
            const std::size_t room = capacity - result.bytes;
            std::size_t got = 0;
            if (!piece.file && !piece.stream) {
                got = std::min(room, piece.text.size() - static_cast<std::size_t>(piece.offset));
                std::memcpy(into + result.bytes, piece.text.data() + piece.offset, got);
                piece.offset += got;
                if (piece.offset == piece.text.size()) ++at_;
            } else {
                const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(room, piece.left));
                if (!fill(piece, into + result.bytes, want, got)) {
                    result.failed = true;
                    return result;
                }
                piece.offset += got;
                piece.left -= got;
                if (piece.left == 0) ++at_;
            }
            result.bytes += got;
        }
        *sent_ += result.bytes;
        result.ended = at_ == count_;
        return result;
    }

    // The text, or the file's cached bytes, of a body of one piece.
    std::string_view inPlace(std::size_t capacity, bool& ended) override {
        if (count_ != 1 || !pieces_.empty() || at_ == count_ || one_.stream) return {};
        Piece& piece = one_;
        std::string_view next;
        if (!piece.file) {
            next = std::string_view(piece.text).substr(static_cast<std::size_t>(piece.offset), capacity);
            piece.offset += next.size();
            if (piece.offset == piece.text.size()) ++at_;
        } else {
            if (!piece.file->content) return {};
            const std::string& content = *piece.file->content;
            // A cached file shorter than its answer says is cut by read().
            if (piece.offset + piece.left > content.size()) return {};
            next = std::string_view(content).substr(static_cast<std::size_t>(piece.offset),
                                                    static_cast<std::size_t>(std::min<std::uint64_t>(capacity, piece.left)));
            piece.offset += next.size();
            piece.left -= next.size();
            if (piece.left == 0) ++at_;
        }
        *sent_ += next.size();
        ended = at_ == count_;
        return next;
    }

private:
    // Reads exactly want bytes of the file piece; false when it cannot (the
    // file shrank or failed): the body is cut.
    static bool fill(Piece& piece, char* into, std::size_t want, std::size_t& got) {
        if (want == 0) return true;
        if (piece.file && piece.file->content) {
            const std::string& content = *piece.file->content;
            if (piece.offset + want > content.size()) return false;
            std::memcpy(into, content.data() + piece.offset, want);
            got = want;
            return true;
        }
        if (piece.file) {
            while (got < want) {
                const platform::IoResult read =
                    platform::readAt(piece.file->descriptor.get(), into + got, want - got, piece.offset + got);
                if (!read.error.ok() || read.bytes == 0) return false;
                got += read.bytes;
            }
            return true;
        }
        if (!piece.positioned) {
            piece.stream->seekg(static_cast<std::streamoff>(piece.offset));
            piece.positioned = true;
        }
        piece.stream->read(into, static_cast<std::streamsize>(want));
        got = static_cast<std::size_t>(piece.stream->gcount());
        return got == want;
    }

    Piece one_;
    std::vector<Piece> pieces_;
    std::size_t count_;
    std::size_t at_ = 0;
    std::uint64_t* sent_;
};

// A script's output as it comes.
class StreamBody final : public KoHttp2Body {
public:
    StreamBody(std::shared_ptr<KoBodyStream> source, std::uint64_t* sent) : source_(std::move(source)), sent_(sent) {}

    Read read(char* into, std::size_t capacity) override {
        Read result;
        while (result.bytes < capacity) {
            const KoBodyStream::Taken taken = source_->take(piece_, capacity - result.bytes);
            if (taken == KoBodyStream::Taken::bytes) {
                std::memcpy(into + result.bytes, piece_.data(), piece_.size());
                result.bytes += piece_.size();
                continue;
            }
            if (taken == KoBodyStream::Taken::ended) result.ended = true;
            if (taken == KoBodyStream::Taken::empty) result.deferred = true;
            // A cut stream must not look whole: the stream is reset.
            if (taken == KoBodyStream::Taken::cut) result.failed = true;
            break;
        }
        *sent_ += result.bytes;
        return result;
    }

private:
    std::shared_ptr<KoBodyStream> source_;
    std::string piece_;
    std::uint64_t* sent_;
};

// The file the answer sends, opened as the HTTP/1.1 writer opens it; null
// (and the answer turned into an error) when it cannot be.
std::shared_ptr<const KoOpenFile> OpenBodyFile(KoXResponseHeader& response) {
    if (response.bodyOpenFile) {
        std::shared_ptr<const KoOpenFile> file = std::move(response.bodyOpenFile);
        if (response.bodySpans.empty()) response.bodyFileSize = static_cast<std::int64_t>(file->identity.size);
        return file;
    }
    response.bodyStream.reset();
    auto opened = KoFileCache::forThisThread().open(response.bodyFile);
    if (opened.ok() && opened.value()->identity.regular) {
        if (response.bodySpans.empty()) response.bodyFileSize = static_cast<std::int64_t>(opened.value()->identity.size);
        return opened.value();
    }
    if (opened.ok() || opened.error().notFound()) {
        response.statusCode = 404;
    } else {
        diagnostic("cannot open " + escapeForLog(response.bodyFile) + ": " + opened.error().text());
        response.statusCode = opened.error().outOfDescriptors() ? 503 : 500;
    }
    response.bodyFile.clear();
    response.bodySpans.clear();
    response.fields.clear();
    return nullptr;
}

}  // namespace

namespace {

// The head's fields as HTTP/2 fields: names in lower case, without the
// connection-specific ones, values without line breaks or the spaces
// around them.
class FieldList final : public KoAnswerHeadWriter {
public:
    explicit FieldList(KoHttp2Fields& fields_) : fields(fields_) {}

    void status(std::int32_t code) override { status_ = code >= 100 && code <= 999 ? code : 500; }
    void field(std::string_view name, std::string_view value) override { add(name, value); }
    void scriptLine(std::string_view written) override {
        // As the text head would carry it: one line.
        std::string line;
        line.reserve(written.size());
        for (char c : written) {
            if (c != '\r' && c != '\n') line += c;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) return;
        add(std::string_view(line).substr(0, colon), std::string_view(line).substr(colon + 1));
    }
    int code() const { return status_; }

private:
    // Called for every field of every answer: each name and value is
    // appended once, in one piece, straight into the list's buffer.
    void add(std::string_view name, std::string_view valueIn) {
        if (ConnectionSpecificAnyCase(name)) return;
        std::string& text = fields.buffer();
        fields.startField();
        const std::size_t nameAt = text.size();
        text.append(name);
        LowerInPlace(text.data() + nameAt, name.size());
        fields.endName();
        const auto blank = [](char c) { return c == ' ' || c == '\t'; };
        const auto lineBreak = [](char c) { return c == '\r' || c == '\n'; };
        std::size_t first = 0;
        std::size_t last = valueIn.size();
        // Line breaks go; blanks around what is left go too.
        while (first < last && (blank(valueIn[first]) || lineBreak(valueIn[first]))) ++first;
        while (last > first && (blank(valueIn[last - 1]) || lineBreak(valueIn[last - 1]))) --last;
        const std::string_view value = valueIn.substr(first, last - first);
        if (value.find('\r') == std::string_view::npos && value.find('\n') == std::string_view::npos) {
            text.append(value);
        } else {
            for (char c : value) {
                if (!lineBreak(c)) text += c;
            }
        }
        fields.endField();
    }

    KoHttp2Fields& fields;
    int status_ = 500;
};

int FieldsOfAnswer(const KoXResponseHeader& response, std::uint64_t length,
                   KoHttp2Fields& fields) {
    // A file answer has about a dozen fields: one allocation for each part.
    fields.reserve(16, 512);
    FieldList list(fields);
    KoWalkAnswerHead(response, length, false, KoHttpDateNow(), list);
    return list.code();
}

}  // namespace

KoHttp2Answer KoMakeHttp2Answer(KoXResponseHeader& response, std::uint64_t* sent, KoHttp2Fields room) {
    KoHttp2Answer answer;
    answer.fields = std::move(room);
    answer.fields.clear();
    if (response.lengthUnknown) {
        std::shared_ptr<KoBodyStream> source = std::move(response.bodySource);
        answer.status = FieldsOfAnswer(response, 0, answer.fields);
        if (source && response.SendsBody()) {
            answer.source = source;
            answer.body = std::make_unique<StreamBody>(std::move(source), sent);
        }
        return answer;
    }
    std::shared_ptr<const KoOpenFile> file;
    std::shared_ptr<std::ifstream> stream;
    std::uint64_t length = 0;
    if (!response.bodyFile.empty() && response.bodyStream && *response.bodyStream) {
        // A file its maker opened already (a host's answer).
        stream = std::move(response.bodyStream);
        length = response.FileBodyLength();
    } else if (response.bodyOpenFile || !response.bodyFile.empty()) {
        file = OpenBodyFile(response);
        if (file) length = response.FileBodyLength();
    }
    const bool fromFile = file || stream;
    std::string text;
    if (!fromFile) {
        text = response.Body();
        length = text.size();
    }
    answer.status = FieldsOfAnswer(response, length, answer.fields);
    if (!response.SendsBody()) return answer;
    const auto filePiece = [&](std::uint64_t offset, std::uint64_t bytes) {
        PiecesBody::Piece piece;
        piece.file = file;
        piece.stream = stream;
        piece.offset = offset;
        piece.left = bytes;
        return piece;
    };
    const auto textPiece = [](std::string bytes) {
        PiecesBody::Piece piece;
        piece.text = std::move(bytes);
        return piece;
    };
    if (response.bodySpans.empty() || !fromFile) {
        // One piece, or none: an empty body.
        if (length == 0) {
            answer.body = std::make_unique<PiecesBody>(std::vector<PiecesBody::Piece>{}, sent);
        } else {
            answer.body = std::make_unique<PiecesBody>(fromFile ? filePiece(0, length) : textPiece(std::move(text)), sent);
        }
        return answer;
    }
    std::vector<PiecesBody::Piece> pieces;
    pieces.reserve(response.bodySpans.size() * 2 + 1);
    for (KoFileSpan& span : response.bodySpans) {
        if (!span.before.empty()) pieces.push_back(textPiece(std::move(span.before)));
        if (span.length != 0) pieces.push_back(filePiece(span.offset, span.length));
    }
    if (!response.bodyAfter.empty()) pieces.push_back(textPiece(std::move(response.bodyAfter)));
    answer.body = std::make_unique<PiecesBody>(std::move(pieces), sent);
    return answer;
}
