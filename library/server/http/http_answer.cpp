#include "server/http/http_answer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "foundation/text_utils.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "message/spare_buffers.h"
#include "server/http/http_date.h"

namespace {

// Appends value without its line breaks, so it cannot start a line of its own.
void AppendOneLine(std::string& out, std::string_view value) {
    const auto breaks = [](char c) { return c == '\r' || c == '\n'; };
    if (std::none_of(value.begin(), value.end(), breaks)) {
        out += value;
        return;
    }
    for (char c : value) {
        if (!breaks(c)) out += c;
    }
}

void AppendLine(std::string& out, std::string_view name, std::string_view value) {
    out += name;
    out += ": ";
    AppendOneLine(out, value);
    out += "\r\n";
}

template <typename Number>
void AppendNumber(std::string& out, Number value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

// "Server: " of the server's own answers.
const std::string kProductToken = std::string(kProductName) + std::string(kProductVersion);

// With server empty, no Server line; by default the product token.
void AppendStatusLine(std::string& out, std::int32_t status, std::string_view server = {}, bool product = true) {
    out += "HTTP/1.1 ";
    AppendNumber(out, status);
    out += ' ';
    out += ReasonPhrase(status);
    out += "\r\n";
    if (product) {
        out += "Server: ";
        out += kProductName;
        out += kProductVersion;
        out += "\r\n";
    } else if (!server.empty()) {
        AppendLine(out, "Server", server);
    }
}

// Fields of a response written into its head, in this order.
struct AnswerField {
    std::string_view key;
    std::string_view name;
};
constexpr AnswerField kAnswerFields[] = {
    {"content-type", "Content-Type"},   {"content-range", "Content-Range"}, {"accept-ranges", "Accept-Ranges"},
    {"last-modified", "Last-Modified"}, {"etag", "ETag"},                   {"cache-control", "Cache-Control"},
    {"content-encoding", "Content-Encoding"},
    {"vary", "Vary"},
    {"allow", "Allow"},
    {"www-authenticate", "WWW-Authenticate"},
    {"retry-after", "Retry-After"},
    {"x-content-type-options", "X-Content-Type-Options"},
    {"strict-transport-security", "Strict-Transport-Security"},
    {"x-frame-options", "X-Frame-Options"},
    {"content-security-policy", "Content-Security-Policy"},
    {"referrer-policy", "Referrer-Policy"},
};

// The keys of kAnswerFields as the field map's key type, made once.
const std::vector<std::string>& AnswerFieldKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> made;
        for (const AnswerField& field : kAnswerFields) made.emplace_back(field.key);
        return made;
    }();
    return keys;
}

// Whether a script's own header lines name the field.
bool ScriptLinesName(const std::vector<std::string>& lines, std::string_view name) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() > name.size() && line[name.size()] == ':' &&
               sameLetters(std::string_view(line).substr(0, name.size()), name);
    });
}

// A default field's value for key, unless the answer or its script names it.
const std::string* DefaultValue(const KoXResponseHeader& response, const std::string& key,
                                const std::vector<std::string>* scriptLines) {
    if (!response.defaultFields) return nullptr;
    for (const auto& [name, value] : *response.defaultFields) {
        if (name != key) continue;
        if (scriptLines != nullptr && ScriptLinesName(*scriptLines, name)) return nullptr;
        return &value;
    }
    return nullptr;
}

// A 1xx, 204 or 304 answer has no body to announce.
bool NoContentLength(std::int32_t status) { return status < 200 || status == 204 || status == 304; }

// Whether a script's header line is of the field name (lower case, with
// its colon): a script that writes its own Date or Server keeps it.
bool NamesField(const std::string& line, std::string_view name) {
    if (line.size() < name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    return true;
}

// What a client sent, as a log field it can neither close nor leave.
void AppendForLog(std::string& out, std::string_view value) {
    const auto plain = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7E && c != '"' && c != '\\';
    };
    if (std::all_of(value.begin(), value.end(), plain)) {
        out += value;
    } else {
        out += escapeForLog(value);
    }
}

}  // namespace

bool KoAnswersHttp10(const KoXResponseHeader& response) {
    auto first = response.requestFields.find(":first:");
    return first != response.requestFields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
}

void KoWalkAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                      std::string_view date, KoAnswerHeadWriter& out) {
    auto cgi = response.fields.find(kCgiLinesField);
    const auto scriptNames = [&](std::string_view name) {
        return cgi != response.fields.end() && std::any_of(cgi->second.begin(), cgi->second.end(),
                                                           [name](const std::string& line) { return NamesField(line, name); });
    };
    out.status(response.statusCode);
    // One Server line at most: the script's own, else the one chosen for
    // the site (an empty value: none), else the product token.
    static const std::string serverKey = "server";
    const auto chosen = response.fields.find(serverKey);
    const std::string* siteServer =
        chosen == response.fields.end() ? DefaultValue(response, serverKey, nullptr) : nullptr;
    if (scriptNames("server:")) {
        // Among the script's lines.
    } else if (chosen != response.fields.end()) {
        if (!chosen->second.empty() && !chosen->second.front().empty()) out.field("Server", chosen->second.front());
    } else if (siteServer != nullptr) {
        if (!siteServer->empty()) out.field("Server", *siteServer);
    } else {
        out.field("Server", kProductToken);
    }
    const bool scriptDated = scriptNames("date:");
    if (!scriptDated) out.field("Date", date);
    // A script that wrote no body for HEAD (php-cgi writes none) tells
    // nothing of its GET's length: the head then names no length at all.
    const bool scriptHead =
        response.answersHead && cgi != response.fields.end() && !response.lengthUnknown && bodyLength == 0;
    if (NoContentLength(response.statusCode) || scriptHead) {
        // Neither length nor framing.
    } else if (!response.lengthUnknown) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, bodyLength).ptr;
        out.field("Content-Length", std::string_view(digits, static_cast<std::size_t>(end - digits)));
    } else if (!KoAnswersHttp10(response)) {
        // An HTTP/1.0 client reads such a body until the connection ends.
        out.field("Transfer-Encoding", "chunked");
    }
    if (!response.fields.empty() || response.defaultFields) {
        const std::vector<std::string>* scriptLines = cgi == response.fields.end() ? nullptr : &cgi->second;
        const std::vector<std::string>& keys = AnswerFieldKeys();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            auto it = response.fields.find(keys[i]);
            if (it != response.fields.end()) {
                if (!it->second.empty()) out.field(kAnswerFields[i].name, it->second.front());
            } else if (const std::string* value = DefaultValue(response, keys[i], scriptLines)) {
                out.field(kAnswerFields[i].name, *value);
            }
        }
    }
    if (!response.location.empty()) out.field("Location", response.location);
    if (cgi != response.fields.end()) {
        for (const std::string& line : cgi->second) out.scriptLine(line);
    }
    if (closing) {
        out.field("Connection", "close");
    } else if (KoAnswersHttp10(response)) {
        out.field("Connection", "keep-alive");
    }
}

std::string KoAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                         std::string_view date) {
    // The head as text: the status line, then a line for each field.
    class Text final : public KoAnswerHeadWriter {
    public:
        Text() : head(spare_buffers::takeString()) { head.reserve(512); }
        void status(std::int32_t code) override {
            head += "HTTP/1.1 ";
            AppendNumber(head, code);
            head += ' ';
            head += ReasonPhrase(code);
            head += "\r\n";
        }
        void field(std::string_view name, std::string_view value) override { AppendLine(head, name, value); }
        void scriptLine(std::string_view line) override {
            AppendOneLine(head, line);
            head += "\r\n";
        }
        std::string head;
    } text;
    KoWalkAnswerHead(response, bodyLength, closing, date, text);
    text.head += "\r\n";
    return std::move(text.head);
}

std::string KoStatusText(std::int32_t status) { return std::to_string(status) + " " + ReasonPhrase(status) + "\n"; }

void KoSetTextBody(KoXResponseHeader& response) {
    const std::string text = KoStatusText(response.statusCode);
    response.Input().sputn(text.data(), static_cast<std::streamsize>(text.size()));
    response.fields["content-type"] = {kPlainTextType};
}

std::string KoPlainAnswer(std::int32_t status, bool closing, std::string_view date) {
    const std::string body = KoStatusText(status);
    std::string head;
    AppendStatusLine(head, status);
    AppendLine(head, "Date", date);
    head += "Content-Length: ";
    AppendNumber(head, body.size());
    head += "\r\n";
    AppendLine(head, "Content-Type", kPlainTextType);
    if (closing) head += "Connection: close\r\n";
    return head + "\r\n" + body;
}

const std::string& KoLogTime(std::int64_t ticks) {
    using namespace std::chrono;
    const std::int64_t second = ticks / 10'000'000;
    // Answers of one second share their text.
    thread_local std::int64_t lastSecond = -1;
    thread_local std::string lastText;
    if (second == lastSecond) return lastText;
    const sys_seconds when{seconds{second}};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{when - day};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%02u/%s/%04d:%02d:%02d:%02d +0000", static_cast<unsigned>(date.day()),
                  kMonths[(static_cast<unsigned>(date.month()) + 11) % 12], static_cast<int>(date.year()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    lastSecond = second;
    lastText = text;
    return lastText;
}

std::string KoAccessLogLine(const KoAccessLogEntry& entry) {
    std::string line = spare_buffers::takeString();
    line.reserve(96 + entry.remoteAddress.size() + entry.requestLine.size() + entry.referer.size() +
                 entry.userAgent.size());
    AppendForLog(line, entry.remoteAddress);
    line += " - ";
    line += entry.protocolName;
    line += " - [";
    line += entry.time;
    line += "] \"";
    AppendForLog(line, entry.requestLine);
    line += "\" --> ";
    AppendNumber(line, entry.status);
    line += ' ';
    AppendNumber(line, entry.bytes);
    line += " \"";
    AppendForLog(line, entry.referer);
    line += "\" \"";
    AppendForLog(line, entry.userAgent);
    line += "\"";
    return line;
}
