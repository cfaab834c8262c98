#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/server_handle.h"
#include "api/velko_server_api.h"
#include "foundation/diagnostics.h"

namespace {

std::string MessageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const KoException& error) {
        return error.what();
    }
    return "no exception";
}

KoApplicationSettings Quiet() {
    KoApplicationSettings settings;
    settings.launcher = [](const std::vector<std::string>&, const std::string&) {};
    return settings;
}

TEST(StartHTTPServer, ChecksOptionsBeforeKeys) {
    EXPECT_EQ(MessageOf([] { StartHTTPServer(nullptr, 0, "a/", "b/", nullptr, nullptr); }), "options are missing");
    EXPECT_EQ(MessageOf([] { StartHTTPServer("127.0.0.1", 0, nullptr, "b/", "c", "k"); }), "options are missing");
    EXPECT_EQ(MessageOf([] { StartHTTPServer("127.0.0.1", 0, "a/", nullptr, "c", "k"); }), "options are missing");
    EXPECT_EQ(MessageOf([] { StartHTTPServer("127.0.0.1", 0, "a/", "b/", nullptr, "k"); }), "keys are missing");
    EXPECT_EQ(MessageOf([] { StartHTTPServer("127.0.0.1", 0, "a/", "b/", "c", nullptr); }), "keys are missing");
}

TEST(StartHTTPServer, NormalisesDirectories) {
    EXPECT_EQ(KoNormaliseApiDirectory("./htmlroot/"), "./htmlroot/");
    EXPECT_EQ(KoNormaliseApiDirectory("./htmlroot"), "./htmlroot/");
    EXPECT_EQ(KoNormaliseApiDirectory(KoNormaliseApiDirectory("x")), "x/");
    EXPECT_EQ(KoNormaliseApiDirectory(""), "");
}

TEST(ServerPort, NullHandles) {
    EXPECT_EQ(ServerPort(nullptr), 0);
    EXPECT_EQ(StopHTTPserver(nullptr), 0);
}

TEST(ServerPort, ZeroUntilListeningThenThePort) {
    void* handle = KoStartServer("127.0.0.1", 0, "./root", "./root/cgi-bin", "c", "k", 3, Quiet());
    auto* server = static_cast<ServerHandle*>(handle);
    EXPECT_EQ(server->options.at("startpath"), "./root/");
    EXPECT_EQ(server->options.at("cgibinpath"), "./root/cgi-bin/");
    EXPECT_EQ(server->options.at("no_browser_popup"), "true");
    // The handle's own options never get the recorded port.
    int port = 0;
    for (int i = 0; i < 250 && (port = ServerPort(handle)) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(port, 0);
    EXPECT_EQ(server->options.count("tcp_port_http"), 0u);
    EXPECT_EQ(server->application->options().at("tcp_port_http"), std::to_string(port));
    EXPECT_EQ(StopHTTPserver(handle), 0);
}

TEST(ServerPort, NegativePortIsServedAsPositive) {
    // Find a free port first, then ask for its negative.
    void* probe = KoStartServer("127.0.0.1", 0, "", "", "c", "k", 3, Quiet());
    int free = 0;
    for (int i = 0; i < 250 && (free = ServerPort(probe)) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    StopHTTPserver(probe);
    ASSERT_GT(free, 0);
    void* handle = KoStartServer("127.0.0.1", -free, "", "", "c", "k", 3, Quiet());
    auto* server = static_cast<ServerHandle*>(handle);
    EXPECT_EQ(server->application->Hosts().front().port, static_cast<unsigned>(free));
    StopHTTPserver(handle);
}

TEST(ServerPort, HttpsEntryWinsEvenWhenEmpty) {
    void* handle = KoStartServer("127.0.0.1", 0, "", "", "c", "k", 3, Quiet());
    auto* server = static_cast<ServerHandle*>(handle);
    KoServerCallback_t event;
    event.kind = 4;
    event.values = {{"address", "127.0.0.1"}, {"port", ""}, {"protocolstring", "https"}};
    server->application->serverEvent(event);
    EXPECT_EQ(ServerPort(handle), 0);
    event.values["port"] = "4431";
    server->application->serverEvent(event);
    EXPECT_EQ(ServerPort(handle), 4431);
    StopHTTPserver(handle);
}

// Collects the diagnostic lines written while it lives.
class DiagnosticLines {
public:
    DiagnosticLines() {
        previous = setDiagnosticSink([this](std::string_view line) {
            std::lock_guard<std::mutex> guard(lock);
            lines.emplace_back(line);
        });
    }
    ~DiagnosticLines() { setDiagnosticSink(previous); }
    std::string joined() {
        std::lock_guard<std::mutex> guard(lock);
        std::string all;
        for (const auto& line : lines) all += line + "\n";
        return all;
    }

private:
    KoDiagnosticSink previous;
    std::mutex lock;
    std::vector<std::string> lines;
};

// A second StopHTTPserver on a handle freed the handle again and crashed the
// host; a pointer the library never handed out was taken for a handle.
TEST(StopHTTPserver, AHandleThatIsNotLiveIsRefusedUntouched) {
    void* handle = KoStartServer("127.0.0.1", 0, "", "", "c", "k", 3, Quiet());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(StopHTTPserver(handle), 0);
    EXPECT_EQ(StopHTTPserver(handle), kStopUnknownHandle);
    EXPECT_EQ(ServerPort(handle), 0);

    std::vector<unsigned char> foreign(sizeof(ServerHandle), 0xA5);
    EXPECT_EQ(StopHTTPserver(foreign.data()), kStopUnknownHandle);
    EXPECT_EQ(ServerPort(foreign.data()), 0);
    EXPECT_EQ(foreign, std::vector<unsigned char>(sizeof(ServerHandle), 0xA5));
}

// Port 70000 was accepted and failed only on the listener's thread: the
// caller waited with ServerPort at 0 and read an internal job name.
TEST(StartHTTPServer, APortBeyondTheRangeIsRefusedAtOnce) {
    for (const int port : {65536, -65536, 70000, INT_MAX, INT_MIN}) {
        EXPECT_EQ(MessageOf([port] { StartHTTPServer("127.0.0.1", port, "a/", "b/", "c", "k"); }),
                  "port out of range: " + std::to_string(port) + " (0 to 65535)")
            << port;
    }
    // The options and keys are still checked first.
    EXPECT_EQ(MessageOf([] { StartHTTPServer(nullptr, 70000, "a/", "b/", "c", "k"); }), "options are missing");
}

// A document root that does not exist started in silence and answered 404
// to every request.
TEST(StartHTTPServer, ADocumentRootThatDoesNotExistIsReported) {
    DiagnosticLines diagnostics;
    void* handle = KoStartServer("127.0.0.1", 0, "/nonexistent/velko-root", "", "c", "k", 3, Quiet());
    StopHTTPserver(handle);
    EXPECT_NE(diagnostics.joined().find("the document root /nonexistent/velko-root/ does not exist (No such file or "
                                        "directory): its files are answered 404 until it exists"),
              std::string::npos)
        << diagnostics.joined();

    DiagnosticLines quiet;
    handle = KoStartServer("127.0.0.1", 0, ".", "", "c", "k", 3, Quiet());
    StopHTTPserver(handle);
    EXPECT_EQ(quiet.joined().find("document root"), std::string::npos) << quiet.joined();
}

}  // namespace
