// Helpers of the HTTPS end-to-end tests: a temporary directory with a
// certificate and key for localhost made by the openssl command, a copy of
// the sample site, and programs run with a bounded time.
#pragma once

#include <string>
#include <vector>

#include "../net/tls_fixtures.h"
#include "platform/file_system.h"

namespace tls_site {

inline tls_test::CommandResult Shell(const std::string& script, int timeoutMs = 60000) {
    return tls_test::run("/bin/sh", {"-c", script}, "", timeoutMs);
}

// Quotes a word for the shell.
inline std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Site {
    bool ok = false;
    std::string directory;    // ends without '/'
    std::string certificate;  // cacert.pem
    std::string key;          // privkey.pem
    std::string htmlroot;     // ends with '/'

    Site() {
        auto made = platform::makeTemporaryDirectory("velko-site-");
        if (!made.ok()) return;
        directory = made.value();
        certificate = directory + "/cacert.pem";
        key = directory + "/privkey.pem";
        htmlroot = directory + "/htmlroot/";
        const auto keys = tls_test::run(
            "openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                        "-days", "2", "-subj", "/CN=localhost", "-addext",
                        "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", key, "-out", certificate});
        const auto copy = tls_test::run("cp", {"-r", VELKO_SAMPLE_SITE, directory + "/htmlroot"});
        ok = keys.ok && copy.ok;
    }
    ~Site() {
        if (!directory.empty()) platform::removeTree(directory);
    }
    Site(const Site&) = delete;
    Site& operator=(const Site&) = delete;
};

}  // namespace tls_site
