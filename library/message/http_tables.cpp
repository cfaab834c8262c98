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

constexpr std::array<std::pair<std::int32_t, std::string_view>, 23> kStatus{{
    {200, "OK"},
    {201, "Created"},
    {204, "No Content"},
    {206, "Partial Content"},
    {301, "Moved Permanently"},
    {303, "Redirect"},
    {304, "Not Modified"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {408, "Request Timeout"},
    {412, "Precondition Failed"},
    {413, "Content Too Large"},
    {416, "Range Not Satisfiable"},
    {417, "Expectation Failed"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Error"},
    {501, "Not Implemented"},
    {502, "Server Error"},
    {503, "Service Unavailable"},
    {505, "HTTP Version Not Supported"},
}};

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

bool IsHttpToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && kTokenSymbols.find(c) == std::string_view::npos) return false;
    }
    return true;
}
