#include "message/http_tables.h"

#include <array>
#include <utility>

namespace {

struct Method {
    std::string_view token;
    std::int32_t code;
    bool received;  // a request may carry it
};

constexpr std::array<Method, 10> kMethods{{
    {"NONE", method_code::NONE, false},
    {"GET", method_code::GET, true},
    {"POST", method_code::POST, true},
    {"ANSWER", method_code::ANSWER, false},
    {"HEAD", method_code::HEAD, true},
    {"OPTIONS", method_code::OPTIONS, true},
    {"PUT", method_code::PUT, true},
    {"DELETE", method_code::DELETE, true},
    {"PATCH", method_code::PATCH, true},
    {"TRACE", method_code::TRACE, true},
}};

// The IANA registry of status codes, 100 to 511, with the system's own
// texts for 303, 500 and 502.
constexpr std::pair<std::int32_t, std::string_view> kStatus[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {102, "Processing"},
    {103, "Early Hints"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {207, "Multi-Status"},
    {208, "Already Reported"},
    {226, "IM Used"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "Redirect"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {308, "Permanent Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {414, "URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {418, "I'm a teapot"},  // reserved, never assigned; what clients expect
    {421, "Misdirected Request"},
    {422, "Unprocessable Content"},
    {423, "Locked"},
    {424, "Failed Dependency"},
    {425, "Too Early"},
    {426, "Upgrade Required"},
    {428, "Precondition Required"},
    {429, "Too Many Requests"},
    {431, "Request Header Fields Too Large"},
    {451, "Unavailable For Legal Reasons"},
    {500, "Internal Error"},
    {501, "Not Implemented"},
    {502, "Server Error"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
    {506, "Variant Also Negotiates"},
    {507, "Insufficient Storage"},
    {508, "Loop Detected"},
    {510, "Not Extended"},
    {511, "Network Authentication Required"},
};

constexpr std::string_view kTokenSymbols = "!#$%&'*+-.^_`|~";

}  // namespace

std::optional<std::int32_t> MethodCodeOf(std::string_view token) {
    for (const Method& method : kMethods) {
        if (method.token == token) return method.code;
    }
    return std::nullopt;
}

bool IsRequestMethod(std::int32_t code) {
    for (const Method& method : kMethods) {
        if (method.code == code) return method.received;
    }
    return false;
}

std::string MethodTokenOf(std::int32_t code) {
    for (const Method& method : kMethods) {
        if (method.code == code) return std::string(method.token);
    }
    return {};
}

std::string StatusText(std::int32_t code) {
    for (const auto& [value, text] : kStatus) {
        if (value == code) return std::string(text);
    }
    return {};
}

std::string ReasonPhrase(std::int32_t code) {
    std::string text = StatusText(code);
    if (!text.empty()) return text;
    switch (code / 100) {
    case 1: return "Informational";
    case 2: return "Success";
    case 3: return "Redirection";
    case 4: return "Client Error";
    case 5: return "Server Error";
    default: return "Unknown Status";
    }
}

bool IsHttpToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && kTokenSymbols.find(c) == std::string_view::npos) return false;
    }
    return true;
}
