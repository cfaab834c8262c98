#include "message/message_body.h"

#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"

namespace {

constexpr std::string_view kMultipart = "multipart/form-data";
constexpr std::string_view kUrlEncoded = "application/x-www-form-urlencoded";

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void IndexNamed(KoXHeader& header, std::size_t from, KoHTTPMessageBlockDisposition& index) {
    for (std::size_t i = from; i < header.blocks.size(); ++i) {
        KoHTTPMessageBlock* block = header.blocks[i].get();
        if (block->Name().empty()) continue;
        header.fieldsByName[block->Name()] = block;
        index[block->Name()] = block;
    }
}

// Takes the blocks from `from` on out of the list and every index.
void DropBlocksFrom(KoXHeader& header, std::size_t from) {
    std::set<const KoHTTPMessageBlock*> dropped;
    for (std::size_t i = from; i < header.blocks.size(); ++i) dropped.insert(header.blocks[i].get());
    for (KoHTTPMessageBlockDisposition* index : {&header.fieldsByName, &header.bodyFieldsByName,
                                                 &header.queryFieldsByName, &header.blocksByPosition}) {
        std::erase_if(*index, [&](const auto& entry) { return dropped.count(entry.second) != 0; });
    }
    header.blocks.resize(from);
}

// What reading a form has cost so far, against the header's limits.
struct FormBudget {
    const KoMessageLimits& limits;
    std::size_t fields = 0;

    // 0 while one more field of size bytes fits, else 413.
    std::int32_t Take(std::size_t size) {
        if (size > limits.maxFormFieldSize || ++fields > limits.maxFormFields) return 413;
        return 0;
    }
};

using Decoder = std::optional<std::string> (*)(std::string_view);

// name=value pieces separated by "&"; pieces without "=" are skipped. The
// text is walked in place: a piece costs nothing until it is a field.
std::int32_t AddPairs(KoXHeader& header, std::string_view text, Decoder decode, FormBudget& budget) {
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t amp = text.find('&', start);
        const std::size_t end = amp == std::string_view::npos ? text.size() : amp;
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos) continue;
        if (const std::int32_t refused = budget.Take(piece.size()); refused != 0) return refused;
        std::optional<std::string> name = decode(piece.substr(0, eq));
        std::optional<std::string> value = decode(piece.substr(eq + 1));
        if (!name || !value) return 400;
        KoHTTPMessageBlock& block = header.AddBlock();
        block.attributes["name"] = std::move(*name);
        block.content = std::make_unique<KoStringBuf>(std::move(*value));
    }
    return 0;
}

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

using MediaType = KoMediaType;

}  // namespace

KoMediaType KoReadMediaType(std::string_view value) {
    MediaType media;
    std::size_t at = value.find(';');
    media.type = Lower(Trimmed(value.substr(0, at)));
    while (at != std::string_view::npos) {
        const std::size_t equals = value.find_first_of("=;", at + 1);
        if (equals == std::string_view::npos || value[equals] == ';') {
            at = equals;  // a parameter without "=" says nothing
            continue;
        }
        const std::string name = Lower(Trimmed(value.substr(at + 1, equals - at - 1)));
        std::size_t start = value.find_first_not_of(" \t", equals + 1);
        std::string text;
        if (start != std::string_view::npos && value[start] == '"') {
            for (++start; start < value.size() && value[start] != '"'; ++start) {
                if (value[start] == '\\' && start + 1 < value.size()) ++start;
                text += value[start];
            }
            at = value.find(';', start);
        } else {
            at = start == std::string_view::npos ? start : value.find(';', start);
            if (start != std::string_view::npos) {
                text = Trimmed(value.substr(start, at == std::string_view::npos ? at : at - start));
            }
        }
        if (!name.empty()) media.parameters.emplace(name, std::move(text));
    }
    return media;
}

namespace {

MediaType ReadMediaType(std::string_view value) { return KoReadMediaType(value); }

void ReadDisposition(KoHTTPMessageBlock& block, const std::string& value) {
    const MediaType disposition = ReadMediaType(value);
    auto name = disposition.parameters.find("name");
    if (name != disposition.parameters.end()) block.attributes["name"] = name->second;
    // A file's part, also with an empty name (a file input left empty).
    auto file = disposition.parameters.find("filename");
    if (file != disposition.parameters.end()) block.attributes["filename"] = file->second;
}

// One part: the text between the delimiter and the CR LF before the next.
// Returns the bytes of its header section (the rest of the delimiter line
// and the part's header lines), reading no further once they pass maxHeader.
std::size_t ReadPart(KoHTTPMessageBlock& block, std::string_view part, std::size_t maxHeader) {
    // The rest of the delimiter line.
    std::size_t pos = part.find("\r\n");
    if (pos == std::string_view::npos) return part.size();
    pos += 2;
    for (;;) {
        if (pos > maxHeader) return pos;
        const std::size_t end = part.find("\r\n", pos);
        if (end == std::string_view::npos) return pos;  // no empty line: no body
        const std::string_view line = part.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            diagnostic("oh oh ... problem...");
            continue;
        }
        const std::string name = Lower(Trimmed(line.substr(0, colon)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name.empty() || value.empty()) continue;
        block.partHeaders[name].push_back(value);
        if (name == "content-disposition") ReadDisposition(block, value);
        if (name == "content-type") block.attributes["mimetype"] = value;
    }
    if (pos < part.size()) block.content = std::make_unique<KoStringBuf>(std::string(part.substr(pos)));
    return pos;
}

std::int32_t ParseMultipart(KoXHeader& header, std::string_view body, const std::string& boundary,
                            FormBudget& budget) {
    if (boundary.empty()) return 0;
    const std::string delimiter = "--" + boundary;
    // Later delimiters start a line, so body bytes that merely contain the
    // boundary text stay in the body.
    const std::string next = "\r\n" + delimiter;
    std::size_t at = body.rfind(delimiter, 0) == 0 ? 0 : body.find(next);
    if (at == std::string_view::npos) return 0;
    if (at != 0) at += 2;
    for (;;) {
        const std::size_t after = at + delimiter.size();
        if (body.substr(after, 2) == "--") return 0;  // the closing delimiter
        const std::size_t end = body.find(next, after);
        if (end == std::string_view::npos) return 0;
        const std::size_t head = ReadPart(header.AddBlock(), body.substr(after, end - after),
                                          budget.limits.maxFormFieldSize);
        if (const std::int32_t refused = budget.Take(head); refused != 0) return refused;
        at = end + 2;
    }
}

}  // namespace

std::int32_t KoParseForm(KoXHeader& header) {
    const std::size_t from = header.blocks.size();
    FormBudget budget{header.Limits()};
    std::int32_t status = AddPairs(header, header.query, percentDecodeStrict, budget);
    if (status == 0) IndexNamed(header, from, header.queryFieldsByName);
    const std::size_t bodyFrom = header.blocks.size();
    if (status == 0 && header.HasField("content-type")) {
        const std::string type = header.FirstValue("content-type");
        const MediaType media = ReadMediaType(type);
        if (media.type == kMultipart) {
            auto boundary = media.parameters.find("boundary");
            status = ParseMultipart(header, header.BodyView(),
                                    boundary == media.parameters.end() ? std::string() : boundary->second, budget);
        } else if (media.type == kUrlEncoded) {
            status = AddPairs(header, header.BodyView(), formValueDecodeStrict, budget);
        }
        // Any other body (JSON, text ...) is no form: nothing to read.
    }
    if (status != 0) {
        DropBlocksFrom(header, from);
        return status;
    }
    IndexNamed(header, bodyFrom, header.bodyFieldsByName);
    return 0;
}

int ParseBody(KoXHeader& header) {
    const std::size_t size = header.BodySize();
    if (size < header.contentLength) return consume_result::NeedMore;
    if (size > header.contentLength) return consume_result::Refused;
    return header.FormStatus() == 0 ? consume_result::Complete : consume_result::Refused;
}
