#include "access/crypt_hash.h"

#include <crypt.h>

#include <memory>

std::optional<std::string> cryptHash(std::string_view password, const std::string& setting) {
    // crypt(3) reads a NUL-terminated phrase: one with a NUL inside is not
    // what the user typed.
    if (password.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string phrase(password);
    auto work = std::make_unique<crypt_data>();
    const char* hashed = crypt_rn(phrase.c_str(), setting.c_str(), work.get(), static_cast<int>(sizeof(crypt_data)));
    if (hashed == nullptr || hashed[0] == '*') return std::nullopt;
    return std::string(hashed);
}

std::optional<std::string> newHashSetting() {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting) == nullptr) return std::nullopt;
    return std::string(setting);
}
