#include "server/http_answer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>

#include "foundation/text_utils.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "server/http_date.h"

namespace {

std::string ReasonOf(std::int32_t status) {
    std::string text = StatusText(status);
    if (!text.empty()) return text;
    switch (status) {
    case 100: return "Continue";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 429: return "Too Many Requests";
    case 421: return "Misdirected Request";
    case 502: return "Bad Gateway";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

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

void AppendStatusLine(std::string& out, std::int32_t status) {
    out += "HTTP/1.1 ";
    AppendNumber(out, status);
    out += ' ';
    out += ReasonOf(status);
    out += "\r\nServer: ";
    out += kProductName;
    out += kProductVersion;
    out += "\r\n";
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

// A 1xx, 204 or 304 answer has no body to announce.
bool NoContentLength(std::int32_t status) { return status < 200 || status == 204 || status == 304; }

// A script that writes its own Date keeps it; an answer has one.
bool NamesDate(const std::string& line) {
    constexpr std::string_view name = "date:";
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

std::string KoAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing,
                         std::string_view date) {
    std::string head;
    head.reserve(256);
    AppendStatusLine(head, response.statusCode);
    auto cgi = response.fields.find(kCgiLinesField);
    const bool scriptDated = cgi != response.fields.end() &&
                             std::any_of(cgi->second.begin(), cgi->second.end(), NamesDate);
    if (!scriptDated) AppendLine(head, "Date", date);
    // A script that wrote no body for HEAD (php-cgi writes none) tells
    // nothing of its GET's length: the head then names no length at all.
    const bool scriptHead =
        response.answersHead && cgi != response.fields.end() && !response.lengthUnknown && bodyLength == 0;
    if (NoContentLength(response.statusCode) || scriptHead) {
        // Neither length nor framing.
    } else if (!response.lengthUnknown) {
        head += "Content-Length: ";
        AppendNumber(head, bodyLength);
        head += "\r\n";
    } else if (!KoAnswersHttp10(response)) {
        // An HTTP/1.0 client reads such a body until the connection ends.
        head += "Transfer-Encoding: chunked\r\n";
    }
    if (!response.fields.empty()) {
        for (const AnswerField& field : kAnswerFields) {
            auto it = response.fields.find(std::string(field.key));
            if (it != response.fields.end() && !it->second.empty()) AppendLine(head, field.name, it->second.front());
        }
    }
    if (!response.location.empty()) AppendLine(head, "Location", response.location);
    if (cgi != response.fields.end()) {
        for (const std::string& line : cgi->second) {
            AppendOneLine(head, line);
            head += "\r\n";
        }
    }
    if (closing) {
        head += "Connection: close\r\n";
    } else if (KoAnswersHttp10(response)) {
        head += "Connection: keep-alive\r\n";
    }
    head += "\r\n";
    return head;
}

std::string KoStatusText(std::int32_t status) { return std::to_string(status) + " " + ReasonOf(status) + "\n"; }

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

std::string KoLogTime(std::int64_t ticks) {
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
    std::string line;
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
