// Helpers of the host interface's end-to-end tests, which see nothing but
// the public headers: a temporary directory with a certificate for
// localhost (the openssl command) and a copy of the sample site, and shell
// commands run with their output kept in a file. Every command is bounded
// by timeout(1).
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace host_shell {

inline std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct Result {
    int status = -1;
    std::string output;
};

class Directory {
public:
    Directory() {
        const std::string made = Capture("mktemp -d /tmp/velko-host-XXXXXX").output;
        path = made.substr(0, made.find('\n'));
        ok = !path.empty() &&
             Run("cd " + Quoted(path) + " && cp -r " + Quoted(VELKO_SAMPLE_SITE) + " htmlroot && " +
                 "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                 "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 "
                 "-keyout privkey.pem -out cacert.pem 2>/dev/null") == 0;
    }
    ~Directory() {
        if (!path.empty()) Run("rm -rf " + Quoted(path));
    }
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    std::string file(const std::string& name) const { return path + "/" + name; }

    // The command's output (standard output and error) and exit status.
    static Result Capture(const std::string& command, int seconds = 60) {
        static std::atomic<int> serial{0};
        const std::string out = "/tmp/velko-host-out-" + Capture0() + "-" + std::to_string(++serial);
        Result result;
        const int raw = std::system(("timeout " + std::to_string(seconds) + " sh -c " + Quoted(command) + " > " +
                                     Quoted(out) + " 2>&1")
                                        .c_str());
        result.status = raw == -1 ? -1 : (raw >> 8) & 0xff;
        result.output = ReadFile(out);
        std::remove(out.c_str());
        return result;
    }
    static int Run(const std::string& command) { return Capture(command).status; }

private:
    // This process's number, so that test programs running at once do not
    // share output files.
    static std::string Capture0() {
        static const std::string pid = [] {
            std::ifstream in("/proc/self/stat");
            std::string id;
            in >> id;
            return id;
        }();
        return pid;
    }

public:

    bool ok = false;
    std::string path;
};

}  // namespace host_shell
