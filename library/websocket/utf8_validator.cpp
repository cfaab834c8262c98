#include "websocket/utf8_validator.h"

bool KoUtf8Validator::feed(std::string_view bytes) {
    if (failed_) return false;
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (left_ > 0) {
            if (byte < low_ || byte > high_) return !(failed_ = true);
            low_ = 0x80;
            high_ = 0xBF;
            --left_;
            continue;
        }
        if (byte < 0x80) continue;
        // The lead byte sets how many follow and what the first of them may
        // be, which rules out overlong forms, surrogates and > U+10FFFF.
        if (byte >= 0xC2 && byte <= 0xDF) {
            left_ = 1;
        } else if (byte == 0xE0) {
            left_ = 2;
            low_ = 0xA0;
        } else if (byte == 0xED) {
            left_ = 2;
            high_ = 0x9F;
        } else if (byte >= 0xE1 && byte <= 0xEF) {
            left_ = 2;
        } else if (byte == 0xF0) {
            left_ = 3;
            low_ = 0x90;
        } else if (byte >= 0xF1 && byte <= 0xF3) {
            left_ = 3;
        } else if (byte == 0xF4) {
            left_ = 3;
            high_ = 0x8F;
        } else {
            return !(failed_ = true);
        }
    }
    return true;
}
