// velkotwo_passwd: makes an entry of a password file for HTTP Basic
// authentication - a salted yescrypt hash of the password read from
// standard input (one line).
//   velkotwo_passwd USER            prints "USER:HASH"
//   velkotwo_passwd USER FILE       sets USER's entry in FILE (made if missing)
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "access/password_file.h"
#include "foundation/exception.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: " << argv[0] << " USER [FILE]   (the password is read from standard input)\n";
        return 2;
    }
    std::string password;
    if (!std::getline(std::cin, password) || password.empty()) {
        std::cerr << "no password on standard input\n";
        return 1;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    try {
        const std::string hash = KoHashPassword(password);
        if (argc == 2) {
            std::cout << KoPasswordFileWithEntry("", argv[1], hash);
            return 0;
        }
        const std::string path = argv[2];
        std::ostringstream old;
        if (std::ifstream in(path, std::ios::binary); in) old << in.rdbuf();
        const std::string text = KoPasswordFileWithEntry(old.str(), argv[1], hash);
        KoPasswordFile::parse(text, path);  // refuses to write a file that would not load
        const std::string fresh = path + ".new";
        {
            std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
            if (!(out << text) || !out.flush()) throw KoException("cannot write " + fresh, __LINE__, "src");
        }
        if (const platform::Error error = platform::replaceFile(fresh, path); !error.ok()) {
            throw KoException("cannot replace " + path + ": " + error.text(), __LINE__, "src");
        }
        return 0;
    } catch (const KoException& error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
}
