#include "message/http_tables.h"

#include <array>
#include <utility>

namespace {

constexpr std::array<std::pair<std::string_view, std::int32_t>, 5> kMethods{{
    {"NONE", method_code::NONE},
    {"GET", method_code::GET},
    {"POST", method_code::POST},
    {"ANSWER", method_code::ANSWER},
    {"HEAD", method_code::HEAD},
}};

constexpr std::array<std::pair<std::int32_t, std::string_view>, 12> kStatus{{
    {200, "OK"},
    {201, "Created"},
    {303, "Redirect"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {413, "Content Too Large"},
    {417, "Expectation Failed"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Error"},
    {501, "Not Implemented"},
    {502, "Server Error"},
}};

}  // namespace

std::optional<std::int32_t> MethodCodeOf(std::string_view token) {
    for (const auto& [name, code] : kMethods) {
        if (name == token) return code;
    }
    return std::nullopt;
}

std::string MethodTokenOf(std::int32_t code) {
    for (const auto& [name, value] : kMethods) {
        if (value == code) return std::string(name);
    }
    return {};
}

std::string StatusText(std::int32_t code) {
    for (const auto& [value, text] : kStatus) {
        if (value == code) return std::string(text);
    }
    return {};
}
