// Access: KoPasswordFile, the users and password hashes that HTTP Basic
// authentication checks against, and KoHashPassword, which makes an entry.
//
// A file holds one "user:hash" a line; blank lines and lines starting with
// '#' are skipped. Only salted, slow hashes of crypt(3) are taken: yescrypt
// ("$y$"), bcrypt ("$2b$", "$2y$") and SHA-512 ("$6$"); a plain text, an
// unsalted or a fast hash (DES, MD5) is refused when the file is read, so a
// weak entry is found at start, not at the first log-in. The same file works
// on every platform the library builds for.
//
// verify() does the same work whether or not the user exists and compares
// the hashes in time that does not depend on where they differ.
//
// Threads: loaded by one thread, then verified from any number at once.
// Failures: KoException with the file name or the line that is wrong.
// May use: foundation, platform.
#pragma once

#include <map>
#include <string>
#include <string_view>

class KoPasswordFile {
public:
    static KoPasswordFile load(const std::string& path);
    // The text of a file; origin names it in errors.
    static KoPasswordFile parse(std::string_view text, const std::string& origin);

    bool verify(std::string_view user, std::string_view password) const;
    bool hasUser(std::string_view user) const { return users_.count(std::string(user)) != 0; }
    std::size_t size() const { return users_.size(); }

private:
    std::map<std::string, std::string, std::less<>> users_;
    std::string decoy_;  // hashed against when the user is unknown
};

// A yescrypt hash of password with a fresh random salt, for a password file.
// Throws KoException when the system cannot make one.
std::string KoHashPassword(std::string_view password);

// The text of a password file with user's entry set to hash: the line that
// names the user is replaced, or one is added at the end; comments and other
// entries stay as they are. Throws KoException for a user name that cannot
// be an entry (empty, or holding ':' or a line break).
std::string KoPasswordFileWithEntry(std::string_view text, std::string_view user, std::string_view hash);

// Whether hash is of a kind KoPasswordFile takes.
bool KoIsAcceptedPasswordHash(std::string_view hash);
