// Access: the one place that calls crypt(3) (libxcrypt). Kept apart so that
// nothing else includes its header, as only net/ includes OpenSSL's.
//
// Threads: any (the reentrant forms are used, each call with its own work
// area).
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The hash of password under setting (a whole hash, or a salt made by
// newHashSetting); empty when crypt(3) refuses the setting.
std::optional<std::string> cryptHash(std::string_view password, const std::string& setting);

// A fresh yescrypt setting with a random salt; empty when the system gives
// no random bytes.
std::optional<std::string> newHashSetting();
