#include "message/x_header.h"

#include <chrono>
#include <utility>

#include "message/buffer_view.h"
#include "message/chunked_decoder.h"
#include "message/http_tables.h"
#include "message/message_body.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"

namespace {

std::int64_t TicksSince1970() {
    using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

KoXHeader::KoXHeader(std::int32_t methodCode_, bool writeEarly_, std::int32_t protocolCode_,
                     const KoMessageLimits& limits_)
    : protocolCode(protocolCode_),
      writeEarly(writeEarly_),
      methodCode(methodCode_),
      fields(spare_buffers::takeFieldList()),
      createdAt(TicksSince1970()),
      limits(limits_) {}

KoXHeader::~KoXHeader() {
    // Its fields' room serves the thread's next message.
    spare_buffers::give(std::move(fields));
}

std::int32_t KoXHeader::ProtocolCode() const { return protocolCode; }

std::string KoXHeader::SchemeName() const { return protocol::SchemeNameOf(protocolCode); }

std::string KoXHeader::Authority() const {
    if (host.empty()) return {};
    std::string out = SchemeName() + "://";
    if (!user.empty()) out += user + "@";
    return out + host + ":" + std::to_string(port);
}

std::shared_ptr<KoXResponseHeader> KoXHeader::MakeAnswer() const {
    auto answer = std::allocate_shared<KoXResponseHeader>(spare_buffers::SpareBlockAllocator<KoXResponseHeader>(),
                                                          method_code::ANSWER, false, protocolCode);
    answer->messageKind.store(message_kind::Answer);
    answer->createdAt = createdAt;
    answer->path = path;
    static const std::string kFirstLine = ":first:";
    auto first = fields.find(kFirstLine);
    if (first != fields.end() && first->second.size() >= 2) {
        answer->requestSummary = first->second[0] + " " + first->second[1];
    } else {
        answer->requestSummary = "-";
    }
    if (auto self = weak_from_this().lock()) {
        // The request lives as long as its answer needs its fields.
        answer->requestFields = KoSharedMap<FieldMap>(std::shared_ptr<const FieldMap>(std::move(self), &fields));
    } else {
        answer->requestFields = fields;
    }
    answer->routeItems = routeItems;
    answer->answersHead = methodCode.load() == method_code::HEAD;
    answer->answerSink = answerSink;
    answer->answerTicket = answerTicket;
    return answer;
}

KoStringBuf& KoXHeader::Input() {
    if (!input) input = std::make_unique<KoStringBuf>();
    return *input;
}

void KoXHeader::AppendInput(std::string_view bytes) {
    if (phase == Phase::refused) return;  // the connection closes
    if (phase == Phase::done) {
        remainder.append(bytes);
        return;
    }
    Input().sputn(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string KoXHeader::Body() const { return input ? std::string(message_detail::Unread(*input)) : std::string(); }

std::string_view KoXHeader::BodyView() const { return input ? message_detail::Unread(*input) : std::string_view(); }

std::size_t KoXHeader::BodySize() const { return input ? message_detail::UnreadSize(*input) : 0; }

std::string KoXHeader::TakeRemainder() { return std::exchange(remainder, std::string()); }

bool KoXHeader::Complete() const { return phase == Phase::done; }

std::int32_t KoXHeader::RefusalStatus() const { return refusalStatus; }

const std::string& KoXHeader::RefusalReason() const { return refusalReason; }

const KoMessageLimits& KoXHeader::Limits() const { return limits; }

bool KoXHeader::HasField(std::string_view name) const { return fields.contains(name); }

std::vector<std::string>& KoXHeader::FieldValues(std::string_view name) { return fields[name]; }

std::string KoXHeader::FirstValue(std::string_view name, const std::string& fallback) const {
    auto it = fields.find(name);
    return it == fields.end() || it->second.empty() ? fallback : it->second.front();
}

const std::string& KoXHeader::RouteItem(std::size_t index) const {
    static const std::string kNone;
    return index < routeItems.size() ? routeItems[index] : kNone;
}

std::int32_t KoXHeader::FormStatus() {
    if (!formRead) {
        formRead = true;
        formStatus = KoParseForm(*this);
    }
    return formStatus;
}

KoHTTPMessageBlock* KoXHeader::Field(const std::string& name) {
    FormStatus();
    auto it = fieldsByName.find(name);
    return it == fieldsByName.end() ? nullptr : it->second;
}

KoHTTPMessageBlock& KoXHeader::AddBlock() {
    blocks.push_back(std::make_unique<KoHTTPMessageBlock>());
    KoHTTPMessageBlock& block = *blocks.back();
    blocksByPosition[std::to_string(blocks.size() - 1)] = &block;
    return block;
}
