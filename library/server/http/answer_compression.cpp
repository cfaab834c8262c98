#include "server/http/answer_compression.h"

#include <vector>

#include "compress/compressor.h"
#include "foundation/text_utils.h"
#include "message/protocols.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"

namespace {

// The value of a "Name: value" line when it is of the field name.
bool LineValue(std::string_view line, std::string_view name, std::string_view& value) {
    if (line.size() <= name.size() || line[name.size()] != ':' || !sameLetters(line.substr(0, name.size()), name)) {
        return false;
    }
    value = trimBlanks(line.substr(name.size() + 1));
    return true;
}

// A field as the answer will carry it: its own field, else a script's line.
bool AnswerValue(const KoXResponseHeader& response, const std::string& key, std::string_view& value) {
    const auto own = response.fields.find(key);
    if (own != response.fields.end() && !own->second.empty()) {
        value = own->second.front();
        return true;
    }
    const auto lines = response.fields.find(kCgiLinesField);
    if (lines == response.fields.end()) return false;
    for (const std::string& line : lines->second) {
        if (LineValue(line, key, value)) return true;
    }
    return false;
}

bool NamesNoTransform(std::string_view cacheControl) {
    while (!cacheControl.empty()) {
        const std::size_t comma = cacheControl.find(',');
        if (sameLetters(trimBlanks(cacheControl.substr(0, comma)), "no-transform")) return true;
        if (comma == std::string_view::npos) break;
        cacheControl.remove_prefix(comma + 1);
    }
    return false;
}

// Statuses whose answers carry no body, whatever the method.
bool BodilessStatus(std::int32_t status) {
    constexpr std::int32_t firstWithBody = 200;
    constexpr std::int32_t noContent = 204;
    constexpr std::int32_t notModified = 304;
    return status < firstWithBody || status == noContent || status == notModified;
}

}  // namespace

KoAnswerCoding KoChooseAnswerCoding(const KoAnswerFacts& facts, const KoAnswerCompression& settings) {
    KoAnswerCoding chosen;
    if (!settings.enabled || facts.encoded || facts.noTransform || !KoIsCompressibleType(facts.contentType)) {
        return chosen;
    }
    if (facts.overTls && !facts.safeOverTls) return chosen;
    // The body may differ by Accept-Encoding from here on, whatever this
    // request gets.
    chosen.varies = true;
    if (!facts.sendsBody || facts.range) return chosen;
    if (facts.sizeKnown && facts.size < settings.minimumSize) return chosen;
    chosen.coding = KoChooseCoding(facts.acceptEncoding, settings.brotli, settings.gzip);
    return chosen;
}

KoAnswerFacts KoAnswerFactsOf(const KoXResponseHeader& response, std::string& joined) {
    KoAnswerFacts facts;
    joined.clear();
    const auto accepted = response.requestFields.find("accept-encoding");
    if (accepted != response.requestFields.end()) {
        for (const std::string& line : accepted->second) joined.append(line).append(",");
    }
    facts.acceptEncoding = joined;
    facts.overTls = response.ProtocolCode() != protocol::HTTP;
    facts.range = response.requestFields.count("range") != 0;
    // A HEAD is answered with the fields its GET would get.
    facts.sendsBody = response.SendsBody() || (response.answersHead && !BodilessStatus(response.statusCode));
    std::string_view value;
    if (AnswerValue(response, "content-type", value)) facts.contentType = value;
    facts.encoded = AnswerValue(response, "content-encoding", value) && !sameLetters(value, "identity");
    facts.noTransform = AnswerValue(response, "cache-control", value) && NamesNoTransform(value);
    return facts;
}

void KoMarkAnswerCoding(KoXResponseHeader& response, const KoAnswerCoding& chosen) {
    if (chosen.coding != KoContentCoding::identity) {
        response.fields["content-encoding"] = {std::string(KoCodingName(chosen.coding))};
    }
    if (chosen.varies) response.fields["vary"] = {"Accept-Encoding"};
}

KoContentCoding KoCompressAnswerBody(KoXResponseHeader& response, const KoAnswerCompression& settings,
                                     bool safeOverTls) {
    // A file goes the way of static files; a stream is compressed as it goes.
    // A HEAD's body is compressed as its GET's would be, so that its head
    // announces the GET's coding and length; it is not sent.
    if (!response.bodyFile.empty() || response.bodyOpenFile || response.lengthUnknown || !settings.enabled) {
        return KoContentCoding::identity;
    }
    std::string joined;
    KoAnswerFacts facts = KoAnswerFactsOf(response, joined);
    facts.safeOverTls = safeOverTls;
    const std::string_view body = response.BodyView();
    facts.sizeKnown = true;
    facts.size = body.size();
    KoAnswerCoding chosen = KoChooseAnswerCoding(facts, settings);
    if (chosen.coding != KoContentCoding::identity) {
        std::string compressed = KoCompress(chosen.coding, body, settings.level);
        // Bytes that do not shrink go out as they are.
        if (compressed.size() < body.size()) {
            response.Input().str(std::move(compressed));
        } else {
            chosen.coding = KoContentCoding::identity;
        }
    }
    KoMarkAnswerCoding(response, chosen);
    return chosen.coding;
}
