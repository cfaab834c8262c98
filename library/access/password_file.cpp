#include "access/password_file.h"

#include <cstddef>
#include <fstream>
#include <sstream>
#include <utility>

#include "access/crypt_hash.h"
#include "foundation/exception.h"

namespace {

// Equal in time that depends only on the lengths.
bool SameBytes(std::string_view a, std::string_view b) {
    unsigned char differ = a.size() == b.size() ? 0 : 1;
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

std::string_view WithoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    return line;
}

}  // namespace

bool KoIsAcceptedPasswordHash(std::string_view hash) {
    for (const std::string_view kind : {"$y$", "$2b$", "$2y$", "$6$"}) {
        // The kind, then a salt and a hash after it.
        if (hash.substr(0, kind.size()) == kind && hash.size() > kind.size() + 16) return true;
    }
    return false;
}

KoPasswordFile KoPasswordFile::parse(std::string_view text, const std::string& origin) {
    KoPasswordFile file;
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = WithoutLineEnd(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        const std::string where = origin + " line " + std::to_string(number);
        const std::size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos) {
            throw KoException(where + ": not a user:hash entry", __LINE__, "src");
        }
        const std::string_view hash = line.substr(colon + 1);
        if (!KoIsAcceptedPasswordHash(hash)) {
            throw KoException(where + ": not a yescrypt, bcrypt or SHA-512 crypt hash", __LINE__, "src");
        }
        if (!file.users_.emplace(std::string(line.substr(0, colon)), std::string(hash)).second) {
            throw KoException(where + ": the user is listed twice", __LINE__, "src");
        }
    }
    const auto decoySetting = file.users_.empty() ? newHashSetting() : std::optional<std::string>(file.users_.begin()->second);
    if (!decoySetting) throw KoException("no random salt for " + origin, __LINE__, "src");
    // An unknown user costs the same hashing as a known one.
    file.decoy_ = *decoySetting;
    return file;
}

KoPasswordFile KoPasswordFile::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) throw KoException("cannot read the password file " + path, __LINE__, "src");
    return parse(text.str(), path);
}

bool KoPasswordFile::verify(std::string_view user, std::string_view password) const {
    const auto entry = users_.find(user);
    const std::string& stored = entry == users_.end() ? decoy_ : entry->second;
    const auto hashed = cryptHash(password, stored);
    const bool same = hashed && SameBytes(*hashed, stored);
    return same && entry != users_.end();
}

std::string KoHashPassword(std::string_view password) {
    const auto setting = newHashSetting();
    if (!setting) throw KoException("no random salt for a password hash", __LINE__, "src");
    auto hashed = cryptHash(password, *setting);
    if (!hashed) throw KoException("the password cannot be hashed", __LINE__, "src");
    return std::move(*hashed);
}

std::string KoPasswordFileWithEntry(std::string_view text, std::string_view user, std::string_view hash) {
    if (user.empty() || user.find_first_of(":\r\n") != std::string_view::npos) {
        throw KoException("a user name may not be empty or hold ':' or a line break", __LINE__, "src");
    }
    const std::string entry = std::string(user) + ":" + std::string(hash) + "\n";
    std::string out;
    bool replaced = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(line.size());
        const bool names = line.substr(0, user.size()) == user && line.size() > user.size() && line[user.size()] == ':';
        if (names && !replaced) {
            out += entry;
            replaced = true;
        } else if (!names) {
            out += line;
            if (line.back() != '\n') out += '\n';
        }
    }
    if (!replaced) out += entry;
    return out;
}
