#include "message/message_body.h"

#include <cctype>
#include <iostream>
#include <string>
#include <string_view>

#include "foundation/text_utils.h"

namespace {

constexpr std::string_view kMultipart = "multipart/form-data;boundary=";
constexpr std::string_view kUrlEncoded = "application/x-www-form-urlencoded";

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

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

// The boundary parameter; quotes around it and later parameters go.
std::string BoundaryOf(std::string_view type) {
    std::string_view b = type.substr(kMultipart.size());
    if (b.size() >= 2 && b.front() == '"') {
        const std::size_t close = b.find('"', 1);
        if (close != std::string_view::npos) return std::string(b.substr(1, close - 1));
    }
    return std::string(b.substr(0, b.find(';')));
}

void ReadDisposition(KoHTTPMessageBlock& block, const std::string& value) {
    const std::size_t semi = value.find(';');
    if (semi == std::string::npos) return;
    for (const std::string& piece : splitText(value.substr(semi + 1), " ", true)) {
        if (piece.rfind("name=", 0) != 0) continue;
        const std::size_t open = piece.find('"', 5);
        if (open == std::string::npos) continue;
        const std::size_t close = piece.find('"', open + 1);
        if (close == std::string::npos) continue;
        block.attributes["name"] = piece.substr(open + 1, close - open - 1);
    }
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
        const std::string name = Lower(trim(std::string(line.substr(0, colon)), " "));
        const std::string value = trim(std::string(line.substr(colon + 1)), " ");
        if (name.empty() || value.empty()) continue;
        block.partHeaders[name].push_back(value);
        if (name == "content-disposition") ReadDisposition(block, value);
        if (name == "content-type") block.attributes["mimetype"] = value;
    }
    if (pos < part.size()) block.content = std::make_unique<KoStringBuf>(std::string(part.substr(pos)));
}

void ParseMultipart(KoXHeader& header, std::string_view body, const std::string& type) {
    const std::string delimiter = "--" + BoundaryOf(type);
    if (delimiter.size() == 2) return;
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
        if (StartsWithNoCase(type, kMultipart)) {
            ParseMultipart(header, body, type);
        } else if (StartsWithNoCase(type, kUrlEncoded)) {
            AddPairs(header, body, formValueDecode);
        } else {
            std::cerr << "content type not defined (" << type << ")" << std::endl;
        }
    }
    IndexNamed(header, from, header.bodyFieldsByName);
    return consume_result::Complete;
}
