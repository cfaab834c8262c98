#include "access/crypt_hash.h"

#include <crypt.h>

#include <array>
#include <memory>

#include "platform/random_bytes.h"

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
    // The salt's bytes come from the platform: libxcrypt's own sources
    // (getrandom, /dev/urandom) do not exist on Windows. 16 is what yescrypt
    // takes.
    std::array<unsigned char, 16> salt{};
    if (!platform::fillRandomBytes(salt)) return std::nullopt;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const char* made = crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char*>(salt.data()),
                                        static_cast<int>(salt.size()), setting, sizeof setting);
    if (made == nullptr) return std::nullopt;
    return std::string(made);
}
