#include "message/message_body.h"

#include <cctype>
#include <iostream>
#include <map>
#include <string>
#include <string_view>

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

// name=value pieces separated by "&"; pieces without "=" are skipped.
template <typename Decode>
void AddPairs(KoXHeader& header, const std::string& text, Decode decode) {
    for (const std::string& piece : splitText(text, "&", false)) {
        const std::size_t eq = piece.find('=');
        if (eq == std::string::npos) continue;
        KoHTTPMessageBlock& block = header.AddBlock();
        block.attributes["name"] = decode(piece.substr(0, eq));
        block.content = std::make_unique<KoStringBuf>(decode(piece.substr(eq + 1)));
    }
}

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// A value of the form "type; name=value; name=\"quoted value\"", as
// Content-Type and Content-Disposition carry it, with blanks allowed around
// ";" and "=". The type and the names are lower-cased; the first of two
// equal names counts.
struct MediaType {
    std::string type;
    std::map<std::string, std::string> parameters;
};

MediaType ReadMediaType(std::string_view value) {
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

void ReadDisposition(KoHTTPMessageBlock& block, const std::string& value) {
    const MediaType disposition = ReadMediaType(value);
    auto name = disposition.parameters.find("name");
    if (name != disposition.parameters.end()) block.attributes["name"] = name->second;
}

// One part: the text between the delimiter and the CR LF before the next.
void ReadPart(KoHTTPMessageBlock& block, std::string_view part) {
    // The rest of the delimiter line.
    std::size_t pos = part.find("\r\n");
    if (pos == std::string_view::npos) return;
    pos += 2;
    for (;;) {
        const std::size_t end = part.find("\r\n", pos);
        if (end == std::string_view::npos) return;  // no empty line: no body
        const std::string_view line = part.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty()) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            std::cerr << "oh oh ... problem..." << std::endl;
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
}

void ParseMultipart(KoXHeader& header, std::string_view body, const std::string& boundary) {
    if (boundary.empty()) return;
    const std::string delimiter = "--" + boundary;
    // Later delimiters start a line, so body bytes that merely contain the
    // boundary text stay in the body.
    const std::string next = "\r\n" + delimiter;
    std::size_t at = body.rfind(delimiter, 0) == 0 ? 0 : body.find(next);
    if (at == std::string_view::npos) return;
    if (at != 0) at += 2;
    for (;;) {
        const std::size_t after = at + delimiter.size();
        if (body.substr(after, 2) == "--") return;  // the closing delimiter
        const std::size_t end = body.find(next, after);
        if (end == std::string_view::npos) return;
        ReadPart(header.AddBlock(), body.substr(after, end - after));
        at = end + 2;
    }
}

}  // namespace

void AddQueryBlocks(KoXHeader& header) {
    const std::size_t from = header.blocks.size();
    AddPairs(header, header.query, percentDecode);
    IndexNamed(header, from, header.queryFieldsByName);
}

int ParseBody(KoXHeader& header) {
    const std::string body = header.Body();
    if (body.size() < header.contentLength) return consume_result::NeedMore;
    if (body.size() > header.contentLength) return consume_result::Refused;
    if (header.bodyParsed) return consume_result::Complete;
    header.bodyParsed = true;

    const std::size_t from = header.blocks.size();
    if (header.HasField("content-type")) {
        const std::string type = header.FirstValue("content-type");
        const MediaType media = ReadMediaType(type);
        if (media.type == kMultipart) {
            auto boundary = media.parameters.find("boundary");
            ParseMultipart(header, body, boundary == media.parameters.end() ? std::string() : boundary->second);
        } else if (media.type == kUrlEncoded) {
            AddPairs(header, body, formValueDecode);
        } else {
            std::cerr << "content type not defined (" << type << ")" << std::endl;
        }
    }
    IndexNamed(header, from, header.bodyFieldsByName);
    return consume_result::Complete;
}
