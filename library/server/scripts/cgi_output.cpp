#include "server/scripts/cgi_output.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "message/http_tables.h"

namespace {

// Fields the server writes itself or that concern one connection only.
constexpr std::array<std::string_view, 10> kServerOwned{
    "content-length", "transfer-encoding", "connection", "keep-alive",          "upgrade",
    "trailer",        "te",                "proxy-connection", "proxy-authenticate", "proxy-authorization",
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Tabs may stand in a value; no other control byte may.
bool PrintableValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

// "404" or "404 Not Found": a final status code.
bool ParseStatus(std::string_view value, std::int32_t& status) {
    if (value.size() < 3 || (value.size() > 3 && value[3] != ' ')) return false;
    std::int32_t code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (value[i] < '0' || value[i] > '9') return false;
        code = code * 10 + (value[i] - '0');
    }
    if (code < 200 || code > 599) return false;
    status = code;
    return true;
}

}  // namespace

KoCgiOutputParser::KoCgiOutputParser(std::size_t headerLimit) : limit(headerLimit) {}

KoCgiOutputParser::Status KoCgiOutputParser::fail(std::string reason) {
    state = Status::malformed;
    why = std::move(reason);
    line.clear();
    return state;
}

KoCgiOutputParser::Status KoCgiOutputParser::feed(std::string_view bytes, std::size_t& used) {
    used = 0;
    while (state == Status::needMore && used < bytes.size()) {
        const std::size_t lf = bytes.find('\n', used);
        const std::size_t end = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (headerBytes + (end - used) > limit) return fail("header block larger than " + std::to_string(limit) + " bytes");
        headerBytes += end - used;
        line.append(bytes.substr(used, end - used));
        used = end;
        if (lf == std::string_view::npos) break;
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string taken = std::exchange(line, std::string());
        takeLine(taken);
    }
    return state;
}

KoCgiOutputParser::Status KoCgiOutputParser::finish() {
    if (state != Status::needMore) return state;
    return fail(headerBytes == 0 ? "no output" : "output ended before the empty line that ends the header block");
}

void KoCgiOutputParser::takeLine(std::string_view text) {
    if (text.empty()) {
        if (fields == 0) {
            fail("no header fields");
            return;
        }
        if (!parsed.location.empty() && !hasStatus) parsed.status = 302;
        state = Status::complete;
        return;
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        fail("header line without a colon");
        return;
    }
    const std::string_view name = text.substr(0, colon);
    if (!IsHttpToken(name)) {
        fail("invalid field name \"" + std::string(name.substr(0, 64)) + "\"");
        return;
    }
    const std::string_view value = TrimBlanks(text.substr(colon + 1));
    ++fields;
    if (!PrintableValue(value)) {
        fail("control byte in the value of " + std::string(name));
        return;
    }
    const std::string lower = Lower(name);
    if (lower == "status") {
        if (!ParseStatus(value, parsed.status)) {
            fail("invalid Status \"" + std::string(value.substr(0, 64)) + "\"");
            return;
        }
        hasStatus = true;
    } else if (lower == "location") {
        parsed.location = std::string(value);
    } else if (std::find(kServerOwned.begin(), kServerOwned.end(), lower) == kServerOwned.end()) {
        parsed.headerLines.push_back(std::string(name) + ": " + std::string(value));
    }
}

KoCgiAnswer parseCgiOutput(std::string_view output, std::size_t headerLimit) {
    KoCgiOutputParser parser(headerLimit);
    std::size_t used = 0;
    parser.feed(output, used);
    KoCgiAnswer answer;
    answer.wellFormed = parser.finish() == KoCgiOutputParser::Status::complete;
    answer.reason = parser.reason();
    if (answer.wellFormed) {
        answer.head = parser.head();
        answer.body = std::string(output.substr(used));
    }
    return answer;
}
