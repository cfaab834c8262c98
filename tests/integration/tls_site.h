// Helpers of the HTTPS end-to-end tests: a temporary directory with a
// certificate and key for localhost made by the openssl command, a copy of
// the sample site, and programs run with a bounded time.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../net/tls_fixtures.h"
#include "api/server_handle.h"
#include "api/velko_server_api.h"
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

// An HTTPS server on a site (through the internal entry, so that settings
// apply), which keeps its access log; stopped when it goes.
class LoggedServer {
public:
    LoggedServer() = default;
    LoggedServer(const LoggedServer&) = delete;
    LoggedServer& operator=(const LoggedServer&) = delete;
    ~LoggedServer() {
        if (handle != nullptr) StopHTTPserver(handle);
    }

    // False when it did not report its port in time.
    bool start(const Site& site, KoApplicationSettings settings = {}) {
        settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
        settings.accessLog = [this](const std::string& line) {
            std::lock_guard<std::mutex> guard(lock);
            lines.push_back(line);
        };
        handle = KoStartServer("127.0.0.1", 0, site.htmlroot.c_str(), (site.htmlroot + "cgi-bin/").c_str(),
                               site.certificate.c_str(), site.key.c_str(), 4, settings);
        for (int i = 0; i < 500 && ServerPort(handle) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        base = "https://localhost:" + std::to_string(ServerPort(handle));
        return ServerPort(handle) != 0;
    }

    std::vector<std::string> log() {
        std::lock_guard<std::mutex> guard(lock);
        return lines;
    }
    // How many lines of the log hold piece; all of them after.
    std::size_t count(const std::string& piece, std::string* all = nullptr) {
        std::size_t n = 0;
        for (const std::string& line : log()) {
            n += line.find(piece) != std::string::npos ? 1 : 0;
            if (all != nullptr) *all += line + "\n";
        }
        return n;
    }

    std::string base;  // "https://localhost:<port>"

    KoVelkoApplication2& application() { return *static_cast<ServerHandle*>(handle)->application; }

private:
    void* handle = nullptr;
    std::mutex lock;
    std::vector<std::string> lines;
};

}  // namespace tls_site
