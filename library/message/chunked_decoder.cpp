#include "message/chunked_decoder.h"

#include <algorithm>

namespace message_detail {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

ChunkedDecoder::ChunkedDecoder(std::uint64_t maxBody_, std::size_t maxLine_, std::size_t maxTrailer_)
    : maxBody(maxBody_), maxLine(maxLine_), maxTrailer(maxTrailer_) {}

ChunkedDecoder::Status ChunkedDecoder::Fail(Status status) {
    failed = status;
    return status;
}

ChunkedDecoder::Status ChunkedDecoder::Feed(std::string_view in, std::string& out,
                                            std::size_t& consumed) {
    consumed = 0;
    if (failed != Status::needMore) return failed;
    if (state == State::done) return Status::done;

    std::size_t i = 0;
    while (i < in.size()) {
        if (state == State::data) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(remaining, in.size() - i));
            out.append(in.data() + i, take);
            i += take;
            remaining -= take;
            if (remaining == 0) state = State::dataCR;
            continue;
        }

        const char c = in[i++];
        switch (state) {
        case State::size:
        case State::sizeBlank:
        case State::extension:
            if (++lineLength > maxLine) return Fail(Status::tooLarge);
            break;
        default:
            break;
        }

        switch (state) {
        case State::size: {
            const int v = HexValue(c);
            if (v >= 0) {
                // Leading zeros cost nothing; the value is what can overflow.
                if (chunkSize > (UINT64_MAX >> 4)) return Fail(Status::tooLarge);
                chunkSize = chunkSize * 16 + static_cast<std::uint64_t>(v);
                ++digits;
                if (chunkSize > maxBody - total) return Fail(Status::tooLarge);
            } else if (digits == 0) {
                return Fail(Status::malformed);
            } else if (c == ';') {
                state = State::extension;
            } else if (c == ' ' || c == '\t') {
                state = State::sizeBlank;
            } else if (c == '\r') {
                state = State::sizeLF;
            } else {
                return Fail(Status::malformed);
            }
            break;
        }
        case State::sizeBlank:
            // Blanks may only lead to an extension: "3 " alone is read as
            // 3 by some parsers and refused by others.
            if (c == ';') {
                state = State::extension;
            } else if (c != ' ' && c != '\t') {
                return Fail(Status::malformed);
            }
            break;
        case State::extension:
            if (c == '\r') {
                state = State::sizeLF;
            } else if (c == '\n' || c == '\0') {
                return Fail(Status::malformed);
            }
            break;
        case State::sizeLF:
            if (c != '\n') return Fail(Status::malformed);
            lineLength = 0;
            digits = 0;
            if (chunkSize == 0) {
                state = State::trailer;
            } else {
                total += chunkSize;
                remaining = chunkSize;
                chunkSize = 0;
                state = State::data;
            }
            break;
        case State::dataCR:
            if (c != '\r') return Fail(Status::malformed);
            state = State::dataLF;
            break;
        case State::dataLF:
            if (c != '\n') return Fail(Status::malformed);
            state = State::size;
            break;
        case State::trailer:
            if (++trailerBytes > maxTrailer) return Fail(Status::tooLarge);
            if (c == '\r') {
                state = State::trailerLF;
            } else if (c == '\n' || c == '\0') {
                return Fail(Status::malformed);
            } else if (++lineLength > maxLine) {
                return Fail(Status::tooLarge);
            }
            break;
        case State::trailerLF:
            if (++trailerBytes > maxTrailer) return Fail(Status::tooLarge);
            if (c != '\n') return Fail(Status::malformed);
            if (lineLength == 0) {
                state = State::done;
                consumed = i;
                return Status::done;
            }
            lineLength = 0;
            state = State::trailer;
            break;
        case State::data:
        case State::done:
            break;
        }
    }
    consumed = i;
    return Status::needMore;
}

}  // namespace message_detail
