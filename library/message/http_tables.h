// The process-wide tables of the HTTP message header: method tokens and
// codes, status codes and reason texts, and the product token written in
// "Server:" and "User-Agent:" lines. The tables are constant after load;
// any thread may read them. Nothing here throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace method_code {
inline constexpr std::int32_t NONE = 0;
inline constexpr std::int32_t GET = 1;
inline constexpr std::int32_t POST = 2;
inline constexpr std::int32_t ANSWER = 3;
// Answered like GET, without a body.
inline constexpr std::int32_t HEAD = 4;
// Known so that the router can answer them (204 with Allow, or 405); a
// method outside the table is refused by the parser (501).
inline constexpr std::int32_t OPTIONS = 5;
inline constexpr std::int32_t PUT = 6;
inline constexpr std::int32_t DELETE = 7;
inline constexpr std::int32_t PATCH = 8;
inline constexpr std::int32_t TRACE = 9;
}  // namespace method_code

inline constexpr std::string_view kProductName = "tessmar/";
inline constexpr std::string_view kProductVersion = "1.28.1(96)";

// The code of an (already upper-cased) method token, if it is in the table.
std::optional<std::int32_t> MethodCodeOf(std::string_view token);
// Whether a received request may carry the method: NONE and ANSWER name
// states of a header, never a request on the wire.
bool IsRequestMethod(std::int32_t code);
// The token of a method code, empty for a code not in the table.
std::string MethodTokenOf(std::int32_t code);

// The reason text of a status code; empty for a code not in the table.
std::string StatusText(std::int32_t code);
// What a status line says: the table's text, else the phrase of the code's
// class ("Client Error" for an unregistered 4xx); never empty.
std::string ReasonPhrase(std::int32_t code);

// A non-empty run of token characters: a method or a field name.
bool IsHttpToken(std::string_view text);
