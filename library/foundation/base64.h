// Foundation: base64 (the standard alphabet, with padding), as HTTP Basic
// credentials and the WebSocket handshake use it. Decoding is strict: a
// length that is not a multiple of four, a byte outside the alphabet or
// padding anywhere but at the end gives nothing. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

std::string base64Encode(std::string_view bytes);
std::optional<std::string> base64Decode(std::string_view text);
