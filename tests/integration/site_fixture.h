// A plain-HTTP server on a temporary site for end-to-end tests: the document
// root (one level below a temporary directory, so that a file can sit
// beside it where only a traversal reaches) with a CGI directory below it,
// files and scripts written by the test, and exchanges of raw bytes or
// through curl. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/server_handle.h"
#include "api/velko_server_api.h"
#include "platform/child_process.h"
#include "platform/file_system.h"
#include "raw_http_client.h"

namespace site_fixture {

using std::chrono::milliseconds;

inline void WriteFile(const std::string& path, const std::string& bytes, bool executable = false) {
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    if (executable) {
        platform::ChildOptions chmod;
        chmod.program = "/bin/chmod";
        chmod.arguments = {"755", path};
        platform::runChild(chmod, "", 1024, 5000);
    }
}

// A shell CGI program that prints exactly these bytes.
inline std::string PrintingScript(const std::string& bytes) {
    std::string quoted;
    for (char c : bytes) {
        switch (c) {
        case '\r': quoted += "\\r"; break;
        case '\n': quoted += "\\n"; break;
        case '\\': quoted += "\\\\"; break;
        case '%': quoted += "%%"; break;
        case '\'': quoted += "'\\''"; break;
        default: quoted += c;
        }
    }
    return "#!/bin/sh\nprintf '" + quoted + "'\n";
}

inline std::string StatusLineOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

inline std::string HeadOf(const std::string& answer) { return answer.substr(0, answer.find("\r\n\r\n") + 2); }
// The value of a field in an answer's head; "<none>" when absent.
inline std::string FieldOf(const std::string& answer, const std::string& name) {
    const std::string head = HeadOf(answer);
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "<none>";
    const std::size_t from = at + 4 + name.size();
    return head.substr(from, head.find("\r\n", from) - from);
}

inline std::string BodyOf(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

struct CommandResult {
    std::string output;
    int exitCode = -1;
};

inline CommandResult RunProgram(const std::string& program, std::vector<std::string> arguments, int timeoutMs = 20000) {
    platform::ChildOptions options;
    options.program = program;
    options.arguments = std::move(arguments);
    options.environment = {"PATH=/usr/bin:/bin"};
    auto run = platform::runChild(options, "", 1 << 20, timeoutMs);
    return {run.output, run.exitCode};
}

class SiteServer : public ::testing::Test {
protected:
    void SetUp() override {
        auto dir = platform::makeTemporaryDirectory("velko_site_");
        ASSERT_TRUE(dir.ok());
        top = dir.value() + "/";
        root = top + "site/";
        platform::createDirectory(root);
        platform::createDirectory(root + "cgi-bin");
    }

    void TearDown() override {
        if (handle != nullptr) StopHTTPserver(handle);
        platform::removeTree(top);
    }

    void Start(const std::function<void(KoApplicationSettings&)>& adjust = {}) {
        KoApplicationSettings settings;
        settings.http.cgiTimeout = milliseconds(5000);
        settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
        if (adjust) adjust(settings);
        handle = KoStartServer("127.0.0.1", 0, root.c_str(), (root + "cgi-bin/").c_str(), "c", "k", 3, settings);
        for (int i = 0; i < 250 && ServerPort(handle) == 0; ++i) std::this_thread::sleep_for(milliseconds(20));
        port = ServerPort(handle);
        ASSERT_NE(port, 0);
        base = "http://127.0.0.1:" + std::to_string(port);
    }

    // Sends the bytes on a fresh connection and returns everything the
    // server wrote until it closed (or the time ran out).
    std::string Exchange(const std::string& bytes, milliseconds limit = milliseconds(5000)) {
        RawHttpClient client(port);
        EXPECT_TRUE(client.connected());
        client.send(bytes);
        client.readUntilClosed(limit);
        return client.received();
    }

    // One request on a fresh connection, closed after its answer.
    std::string Get(const std::string& target, const std::string& fields = "") {
        return Exchange("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + fields + "Connection: close\r\n\r\n");
    }

    CommandResult Curl(std::vector<std::string> arguments) {
        std::vector<std::string> all = {"-s", "--max-time", "15"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        return RunProgram("curl", std::move(all));
    }

    void* handle = nullptr;
    std::string top;
    std::string root;
    std::string base;
    int port = 0;
};

}  // namespace site_fixture
