#include "server/http_answer.h"

#include <chrono>
#include <cstdio>

#include "message/http_tables.h"
#include "message/response_header.h"

namespace {

std::string OneLine(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c != '\r' && c != '\n') out += c;
    }
    return out;
}

std::string ReasonOf(std::int32_t status) {
    std::string text = StatusText(status);
    if (!text.empty()) return text;
    switch (status) {
    case 100: return "Continue";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 408: return "Request Timeout";
    case 502: return "Bad Gateway";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

// An HTTP/1.0 client keeps a connection only when told it is kept.
bool AnswersHttp10(const KoXResponseHeader& response) {
    auto first = response.requestFields.find(":first:");
    return first != response.requestFields.end() && first->second.size() >= 3 && first->second[2] == "HTTP/1.0";
}

}  // namespace

std::string KoAnswerHead(const KoXResponseHeader& response, std::uint64_t bodyLength, bool closing) {
    std::string head = "HTTP/1.1 " + std::to_string(response.statusCode) + " " + ReasonOf(response.statusCode) + "\r\n";
    head += "Server: " + std::string(kProductName) + std::string(kProductVersion) + "\r\n";
    head += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    auto type = response.fields.find("content-type");
    if (type != response.fields.end() && !type->second.empty()) head += "Content-Type: " + OneLine(type->second.front()) + "\r\n";
    if (!response.location.empty()) head += "Location: " + OneLine(response.location) + "\r\n";
    auto cgi = response.fields.find(kCgiLinesField);
    if (cgi != response.fields.end()) {
        for (const std::string& line : cgi->second) head += OneLine(line) + "\r\n";
    }
    if (closing) {
        head += "Connection: close\r\n";
    } else if (AnswersHttp10(response)) {
        head += "Connection: keep-alive\r\n";
    }
    head += "\r\n";
    return head;
}

std::string KoPlainAnswer(std::int32_t status, bool closing) {
    const std::string body = std::to_string(status) + " " + ReasonOf(status) + "\n";
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonOf(status) + "\r\n";
    head += "Server: " + std::string(kProductName) + std::string(kProductVersion) + "\r\n";
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    head += "Content-Type: text/plain\r\n";
    if (closing) head += "Connection: close\r\n";
    return head + "\r\n" + body;
}

std::string KoLogTime(std::int64_t ticks) {
    using namespace std::chrono;
    const sys_seconds when{seconds{ticks / 10'000'000}};
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
    return text;
}

std::string KoAccessLogLine(const KoAccessLogEntry& entry) {
    std::string line = entry.remoteAddress;
    line += " - ";
    line += entry.protocolName;
    line += " - [";
    line += entry.time;
    line += "] \"";
    line += entry.requestLine;
    line += "\" --> ";
    line += std::to_string(entry.status);
    line += " ";
    line += std::to_string(entry.bytes);
    line += " \"";
    line += entry.referer;
    line += "\" \"";
    line += entry.userAgent;
    line += "\"";
    return line;
}
