#include "server/files/file_answer.h"

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "message/http_tables.h"
#include "message/response_header.h"
#include "platform/thread_slot.h"
#include "server/http/byte_ranges.h"
#include "server/http/entity_tag.h"
#include "server/http/http_answer.h"
#include "server/http/http_date.h"
#include "server/http/request_rules.h"

namespace {

// The request fields every file answer looks at, made once.
const std::string kIfMatch = "if-match";
const std::string kIfUnmodifiedSince = "if-unmodified-since";
const std::string kIfNoneMatch = "if-none-match";
const std::string kIfModifiedSince = "if-modified-since";
const std::string kIfRange = "if-range";
const std::string kRange = "range";

const std::vector<std::string>* Values(const KoXHeader& request, const std::string& name) {
    auto it = request.fields.find(name);
    return it == request.fields.end() || it->second.empty() ? nullptr : &it->second;
}

// A date field, or nothing when it is absent or not a valid date (such a
// field is ignored).
std::optional<std::int64_t> DateField(const KoXHeader& request, const std::string& name) {
    const auto* values = Values(request, name);
    if (values == nullptr || values->size() != 1) return std::nullopt;
    return KoParseHttpDate(values->front());
}

enum class Precondition { proceed, notModified, failed };

// If-Match / If-Unmodified-Since, then If-None-Match / If-Modified-Since.
Precondition Evaluate(const KoXHeader& request, const std::string& tag, std::int64_t modified, std::int64_t now) {
    if (const auto* match = Values(request, kIfMatch)) {
        if (!KoEntityTagListMatches(*match, tag, KoTagComparison::strong)) return Precondition::failed;
    } else if (const auto since = DateField(request, kIfUnmodifiedSince)) {
        if (modified > *since) return Precondition::failed;
    }
    if (const auto* noneMatch = Values(request, kIfNoneMatch)) {
        if (KoEntityTagListMatches(*noneMatch, tag, KoTagComparison::weak)) return Precondition::notModified;
    } else if (const auto since = DateField(request, kIfModifiedSince)) {
        // A date still to come is no copy anybody holds: it is ignored.
        if (*since <= now && modified <= *since) return Precondition::notModified;
    }
    return Precondition::proceed;
}

// Whether the version the client holds (If-Range) is the current one; a
// request without If-Range always holds it.
bool SameVersion(const KoXHeader& request, const std::string& tag, std::int64_t modified, std::int64_t now) {
    const auto* values = Values(request, kIfRange);
    if (values == nullptr) return true;
    if (values->size() != 1) return false;
    const std::string& value = values->front();
    if (value.rfind("\"", 0) == 0 || value.rfind("W/", 0) == 0) {
        return KoEntityTagEquals(value, tag, KoTagComparison::strong);
    }
    // A date names one version only once its second has passed: two
    // versions written within the second of now share it.
    const auto date = KoParseHttpDate(value);
    return date && *date == modified && modified < now;
}

std::string ContentRange(const KoByteRange& range, std::uint64_t size) {
    return "bytes " + std::to_string(range.first) + "-" + std::to_string(range.first + range.length - 1) + "/" +
           std::to_string(size);
}

using FieldLines = std::vector<std::pair<std::string, std::string>>;

// A whole-file 200's own fields, then the site's, as one list: what does
// not change between answers of a version is not set field by field.
struct PreparedFields {
    std::shared_ptr<const FieldLines> site;
    KoContentCoding coding = KoContentCoding::identity;
    bool varies = false;
    std::string type;
    std::string cacheControl;
    std::shared_ptr<const FieldLines> fields;  // none: the slot is free
};

// The validators of a file version, made once per version and thread: a
// file answered again and again costs no formatting per answer. A few
// versions are kept (a page of many files), each in the slot its identity
// hashes to; another version there replaces it.
struct Validators {
    std::uint64_t fileId = 0;
    std::uint64_t size = 0;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = -1;  // no version: none has a negative part
    std::string tag;
    // The tags of the version's encoded bytes, by coding; empty until asked.
    std::array<std::string, 3> codedTags;
    std::int64_t shownModified = 0;  // the date below was made for it
    std::string lastModified;
    // A few sites and codings (HTTP and HTTPS, identity and br) each.
    std::array<PreparedFields, 4> prepared;
    std::size_t nextPrepared = 0;
};

void ForgetPrepared(Validators& version) {
    for (PreparedFields& kept : version.prepared) kept = PreparedFields{};
}

Validators& ValidatorsOf(const KoFileFacts& facts, std::int64_t shownModified) {
    constexpr std::size_t kSlots = 64;
    struct Kept {
        std::array<Validators, kSlots> slots;
    };
    std::array<Validators, kSlots>& slots = platform::perThread<Kept>().slots;
    const std::size_t hash = std::hash<std::uint64_t>{}(facts.fileId * 31 + facts.size) ^
                             std::hash<std::int64_t>{}(facts.modifiedSeconds * 1'000'000'007LL + facts.modifiedNanoseconds);
    Validators& slot = slots[hash % kSlots];
    if (slot.fileId != facts.fileId || slot.size != facts.size || slot.seconds != facts.modifiedSeconds ||
        slot.nanoseconds != facts.modifiedNanoseconds) {
        slot.fileId = facts.fileId;
        slot.size = facts.size;
        slot.seconds = facts.modifiedSeconds;
        slot.nanoseconds = facts.modifiedNanoseconds;
        slot.tag = KoEntityTagOf(facts.fileId, facts.size, facts.modifiedSeconds, facts.modifiedNanoseconds);
        for (std::string& coded : slot.codedTags) coded.clear();
        slot.lastModified.clear();
        ForgetPrepared(slot);
    }
    // A modification still to come is shown as now, which moves on.
    if (slot.lastModified.empty() || slot.shownModified != shownModified) {
        slot.shownModified = shownModified;
        slot.lastModified.clear();
        KoAppendHttpDate(slot.lastModified, shownModified);
        ForgetPrepared(slot);
    }
    return slot;
}

// Other bytes, another tag: a cache must not take one coding's copy for
// another's. The file's tag with the coding's name before its closing quote.
const std::string& TagOf(Validators& version, KoContentCoding coding) {
    if (coding == KoContentCoding::identity) return version.tag;
    std::string& coded = version.codedTags[static_cast<std::size_t>(coding)];
    if (coded.empty()) {
        coded.assign(version.tag, 0, version.tag.size() - 1);
        coded += '-';
        coded += KoCodingName(coding);
        coded += '"';
    }
    return coded;
}

// The validators of a version's answer, in the order they are written: a
// 304 carries these alone.
template <typename Put>
void PutValidators(const Put& put, const Validators& version, const std::string& tag,
                   const KoFileAnswerOptions& options) {
    put("last-modified", version.lastModified);
    put("etag", tag);
    if (options.varies) put("vary", "Accept-Encoding");
    if (!options.cacheControl.empty()) put("cache-control", options.cacheControl);
}

// Every field of a whole file's 200, before the site's: one list for the
// fields prepared once and for the answers that set them one by one.
template <typename Put>
void PutWholeFileFields(const Put& put, const Validators& version, const std::string& tag, std::string_view type,
                        const KoFileAnswerOptions& options) {
    PutValidators(put, version, tag, options);
    put("content-type", type);
    // An encoded answer offers no ranges: a client resuming these bytes
    // would be sent ranges of the file as it is.
    if (options.coding != KoContentCoding::identity) {
        put("content-encoding", KoCodingName(options.coding));
    } else {
        put("accept-ranges", "bytes");
    }
}

// A whole file's 200 fields and then the site's, made once per version.
const std::shared_ptr<const FieldLines>& PreparedFor(Validators& version, const std::string& tag,
                                                     const KoFileFacts& facts, const KoFileAnswerOptions& options) {
    const std::shared_ptr<const FieldLines>& site = *options.siteFields;
    for (const PreparedFields& kept : version.prepared) {
        if (kept.fields && kept.site == site && kept.coding == options.coding && kept.varies == options.varies &&
            kept.type == facts.type && kept.cacheControl == options.cacheControl) {
            return kept.fields;
        }
    }
    auto made = std::make_shared<FieldLines>();
    made->reserve(6 + (site ? site->size() : 0));
    PutWholeFileFields([&](std::string_view name, std::string_view value) { made->emplace_back(name, value); },
                       version, tag, facts.type, options);
    if (site) made->insert(made->end(), site->begin(), site->end());
    PreparedFields& slot = version.prepared[version.nextPrepared++ % version.prepared.size()];
    slot = PreparedFields{site, options.coding, options.varies, std::string(facts.type),
                          std::string(options.cacheControl), std::move(made)};
    return slot.fields;
}

void SetField(KoXResponseHeader& response, std::string_view name, std::string_view value) {
    // In a string the answer's list kept from an earlier message.
    response.fields.assign(name, value);
}

}  // namespace

bool KoPrepareFileAnswer(const KoXHeader& request, const KoFileFacts& facts, const KoFileAnswerOptions& options,
                         KoXResponseHeader& response) {
    const std::int32_t method = request.methodCode.load();
    if (const std::int32_t status = KoMethodStatus(method, KoResourceKind::file); status != 0) {
        KoMethodAnswer(status, KoResourceKind::file, response);
        return false;
    }

    const std::int64_t modified = std::min(facts.modifiedSeconds, options.now);
    const bool encoded = options.coding != KoContentCoding::identity;
    Validators& version = ValidatorsOf(facts, modified);
    const std::string& tag = TagOf(version, options.coding);
    const auto set = [&](std::string_view name, std::string_view value) { SetField(response, name, value); };

    const Precondition precondition =
        options.mayHavePreconditions ? Evaluate(request, tag, modified, options.now) : Precondition::proceed;
    switch (precondition) {
    case Precondition::failed:
        response.statusCode = 412;
        KoSetTextBody(response);
        return false;
    case Precondition::notModified:
        response.statusCode = 304;
        PutValidators(set, version, tag, options);
        return false;
    case Precondition::proceed:
        break;
    }

    response.statusCode = 200;
    const auto wholeFileFields = [&] { PutWholeFileFields(set, version, tag, facts.type, options); };
    const auto* range = encoded ? nullptr : Values(request, kRange);
    const bool rangeApplies = range != nullptr && range->size() == 1 &&
                              (!options.mayHavePreconditions || SameVersion(request, tag, modified, options.now));
    const KoRangeRequest ranges =
        rangeApplies ? KoParseRange(range->front(), facts.size) : KoRangeRequest{KoRangeRequest::Kind::ignored, {}};
    switch (ranges.kind) {
    case KoRangeRequest::Kind::ignored:
        if (options.siteFields != nullptr) {
            response.defaultFields = PreparedFor(version, tag, facts, options);
        } else {
            wholeFileFields();
        }
        return true;
    case KoRangeRequest::Kind::unsatisfiable:
        wholeFileFields();
        response.statusCode = 416;
        response.fields.erase("content-type");
        SetField(response, "content-range", "bytes */" + std::to_string(facts.size));
        KoSetTextBody(response);
        return false;
    case KoRangeRequest::Kind::ranges:
        break;
    }
    wholeFileFields();
    response.statusCode = 206;
    if (ranges.ranges.size() == 1) {
        const KoByteRange& only = ranges.ranges.front();
        SetField(response, "content-range", ContentRange(only, facts.size));
        response.bodySpans.push_back(KoFileSpan{{}, only.first, only.length});
        return true;
    }
    const std::string boundary = options.boundary.empty() ? KoMultipartBoundary() : options.boundary;
    SetField(response, "content-type", "multipart/byteranges; boundary=" + boundary);
    std::string separator = "--" + boundary + "\r\n";
    for (const KoByteRange& part : ranges.ranges) {
        std::string before = std::move(separator);
        before += "Content-Type: ";
        before += facts.type;
        before += "\r\n";
        before += "Content-Range: " + ContentRange(part, facts.size) + "\r\n\r\n";
        response.bodySpans.push_back(KoFileSpan{std::move(before), part.first, part.length});
        separator = "\r\n--" + boundary + "\r\n";
    }
    response.bodyAfter = "\r\n--" + boundary + "--\r\n";
    return true;
}

std::string KoMultipartBoundary() {
    thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string boundary = "velko-";
    for (int i = 0; i < 24; ++i) boundary += kDigits[random() % (sizeof kDigits - 1)];
    return boundary;
}
