// libFuzzer target over the receiving side of a connection: the input is a
// stream of pipelined messages fed in pieces to ConsumeHeader, each complete
// message then goes through ParseBody and gets an answer written.
//
// Input layout: byte 0 picks the piece size (1 to 64 bytes, or all at once),
// byte 1 picks the limits (default or tight), the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "message/http_tables.h"
#include "message/message_body.h"
#include "message/response_header.h"
#include "message/x_header.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

KoMessageLimits LimitsFor(std::uint8_t choice) {
    KoMessageLimits limits;
    if (choice & 1) {
        limits.maxLineLength = 64;
        limits.maxHeaderSize = 256;
        limits.maxFieldCount = 4;
        limits.maxBodySize = 128;
        limits.maxFormFields = 4;
        limits.maxFormFieldSize = 32;
    }
    return limits;
}

// One message's outcome: result, refusal and what it read.
std::string Summary(KoXHeader& header, int result) {
    std::string out = std::to_string(result) + "|" + std::to_string(header.RefusalStatus()) + "|" +
                      header.RefusalReason() + "|" + header.path + "|" + std::to_string(header.methodCode.load());
    for (const auto& [name, values] : header.fields) {
        out += "|" + name;
        for (const std::string& value : values) out += "=" + value;
    }
    return out + "|" + header.Body();
}

// The stream read as the HTTP layer reads it: each header in place from the
// connection's input, a body by AppendInput. The outcomes of its messages,
// in order.
std::string ReadInPlace(std::string_view stream, std::size_t piece, const KoMessageLimits& limits,
                        const KoXHeader::Filter& admit) {
    std::string outcomes;
    std::string carry;
    std::size_t at = 0;
    std::size_t sent = 0;
    auto header = std::make_unique<KoXHeader>(0, false, 3, limits);
    for (int guard = 0; guard < 100000; ++guard) {
        int r = consume_result::NeedMore;
        if (at < carry.size()) {
            const std::string_view rest = std::string_view(carry).substr(at);
            if (header->ReadingHeader()) {
                std::size_t used = 0;
                r = header->ConsumeHeaderFrom(rest, used, admit);
                Check(used <= rest.size(), "in place: used within the bytes");
                at += used;
            } else {
                header->AppendInput(rest);
                at = carry.size();
                r = header->ConsumeHeader(admit);
            }
        }
        if (r == consume_result::Refused) {
            outcomes += Summary(*header, r) + "\n";
            break;
        }
        if (r == consume_result::NeedMore) {
            // More is read when the header waits for its next bytes, or all is used.
            if (at < carry.size() && !header->ReadingHeader()) continue;
            if (sent >= stream.size()) break;
            const std::string_view next = stream.substr(sent, piece);
            carry.append(next);
            sent += next.size();
            continue;
        }
        outcomes += Summary(*header, r) + "\n";
        carry = header->TakeRemainder() + carry.substr(at);
        at = 0;
        header = std::make_unique<KoXHeader>(0, false, 3, limits);
    }
    return outcomes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t piece = data[0] == 0xff ? size : 1 + data[0] % 64;
    const KoMessageLimits limits = LimitsFor(data[1]);
    const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
    const KoXHeader::Filter admit = [](KoXHeader&) { return true; };

    auto header = std::make_unique<KoXHeader>(0, false, 3, limits);
    std::size_t sent = 0;
    int messages = 0;
    std::string outcomes;
    // Every pass either takes new bytes or finishes a message that shrinks
    // what is left, so the loop ends.
    for (int guard = 0; guard < 100000; ++guard) {
        const int r = header->ConsumeHeader(admit);
        if (r == consume_result::Refused) {
            outcomes += Summary(*header, r) + "\n";
            const std::int32_t status = header->RefusalStatus();
            Check(status == 400 || status == 413 || status == 431 || status == 501 || status == 505, "refusal status");
            Check(header->closeAfter, "refusal closes");
            break;
        }
        if (r == consume_result::NeedMore) {
            if (sent >= stream.size()) break;
            const std::string_view next = stream.substr(sent, piece);
            header->AppendInput(next);
            sent += next.size();
            continue;
        }
        Check(r == consume_result::Complete, "result code");
        outcomes += Summary(*header, r) + "\n";
        Check(header->ConsumeHeader(admit) == consume_result::Complete, "completion sticks");
        Check(header->BodySize() == header->contentLength || header->messageKind.load() == 0 ||
                  !header->HasField("content-length"),
              "body matches its length");
        Check(header->contentLength <= limits.maxBodySize, "body limit");
        Check(ParseBody(*header) != consume_result::NeedMore || !header->HasField("content-length"),
              "complete body parses");
        const std::int32_t form = header->FormStatus();
        Check(form == 0 || form == 400 || form == 413, "form status");
        Check(form == 0 ? header->blocks.size() <= limits.maxFormFields : header->blocks.empty(), "form bounds");
        auto answer = header->MakeAnswer();
        answer->statusCode = 200;
        answer->state.store(header_state::Complete);
        answer->Input().sputn("x", 1);
        std::ostringstream out;
        answer->WriteHeader(out);

        std::string rest = header->TakeRemainder();
        header = std::make_unique<KoXHeader>(0, false, 3, limits);
        header->AppendInput(rest);
        if (++messages > 10000) break;
    }
    if (messages <= 10000) Check(outcomes == ReadInPlace(stream, piece, limits, admit), "in place reads the same");
    return 0;
}
