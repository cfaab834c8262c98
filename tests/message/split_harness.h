// Feeds a message to a fresh KoXHeader whole, split in two at every byte
// offset, and one byte at a time, and checks that every way of feeding it
// gives the same parse.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "message/message_body.h"
#include "message/protocols.h"
#include "message/x_header.h"

namespace split_harness {

// What a parse left behind, in one comparable value.
struct Outcome {
    int result = -1;
    int bodyResult = -1;
    std::int32_t refusal = 0;
    std::int32_t kind = 0;
    std::int32_t method = 0;
    std::string path;
    std::string query;
    std::string fields;
    std::string blocks;
    std::string body;
    std::string remainder;
    bool closeAfter = false;

    bool operator==(const Outcome&) const = default;
};

inline std::string Describe(const KoXHeader::FieldMap& fields) {
    std::string out;
    for (const auto& [name, values] : fields) {
        out += name + "=";
        for (const auto& v : values) out += "[" + v + "]";
        out += ";";
    }
    return out;
}

inline std::string Describe(const KoXHeader& header) {
    std::string out;
    for (const auto& block : header.blocks) {
        out += "{" + block->Name() + "|" + block->attributes.at("mimetype") + "|" +
               (block->content ? block->Text() : "<none>") + "}";
    }
    return out;
}

inline Outcome Capture(KoXHeader& header, int result) {
    Outcome o;
    o.result = result;
    if (result == consume_result::Complete) o.bodyResult = ParseBody(header);
    o.refusal = header.RefusalStatus();
    o.kind = header.messageKind.load();
    o.method = header.methodCode.load();
    o.path = header.path;
    o.query = header.query;
    o.fields = Describe(header.fields);
    o.blocks = Describe(header);
    o.body = header.Body();
    o.remainder = header.TakeRemainder();
    o.closeAfter = header.closeAfter;
    return o;
}

inline std::unique_ptr<KoXHeader> NewHeader(const KoMessageLimits& limits) {
    return std::make_unique<KoXHeader>(0, false, protocol::HTTP, limits);
}

inline const KoXHeader::Filter& Admit() {
    static const KoXHeader::Filter filter = [](KoXHeader&) { return true; };
    return filter;
}

// Feeds the pieces in order, stopping at the first result that is not
// "need more".
inline Outcome Feed(const std::vector<std::string>& pieces, const KoMessageLimits& limits = {}) {
    auto header = NewHeader(limits);
    int result = consume_result::NeedMore;
    for (const std::string& piece : pieces) {
        header->AppendInput(piece);
        // Bytes after the end of the message must go to the remainder.
        if (result == consume_result::NeedMore) result = header->ConsumeHeader(Admit());
    }
    return Capture(*header, result);
}

inline Outcome Whole(const std::string& message, const KoMessageLimits& limits = {}) {
    return Feed({message}, limits);
}

inline ::testing::AssertionResult SameAtEverySplit(const std::string& message,
                                                   const KoMessageLimits& limits = {}) {
    const Outcome whole = Whole(message, limits);
    for (std::size_t at = 0; at <= message.size(); ++at) {
        const Outcome split = Feed({message.substr(0, at), message.substr(at)}, limits);
        if (!(split == whole)) {
            return ::testing::AssertionFailure() << "differs when split at " << at << " (result "
                                                 << split.result << " vs " << whole.result << ")";
        }
    }
    std::vector<std::string> bytes;
    for (char c : message) bytes.emplace_back(1, c);
    if (!(Feed(bytes, limits) == whole)) {
        return ::testing::AssertionFailure() << "differs when fed byte by byte";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace split_harness
