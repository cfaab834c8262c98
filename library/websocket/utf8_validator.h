// WebSocket: KoUtf8Validator, an incremental check that text is UTF-8 as a
// text message must be (no overlong forms, no surrogates, nothing above
// U+10FFFF), fed piece by piece as frames arrive so that a bad byte fails
// the message at once. Plain value: one connection's thread.
#pragma once

#include <cstdint>
#include <string_view>

class KoUtf8Validator {
public:
    // False once a byte that can never be part of valid UTF-8 was seen.
    bool feed(std::string_view bytes);
    // Whether what was fed ends on a whole character.
    bool complete() const { return !failed_ && left_ == 0; }
    void reset() { *this = KoUtf8Validator{}; }

private:
    int left_ = 0;               // continuation bytes still due
    std::uint8_t low_ = 0x80;    // bounds of the next continuation byte
    std::uint8_t high_ = 0xBF;
    bool failed_ = false;
};
