#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "api/server_handle.h"
#include "api/velko_server_api.h"

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

}  // namespace
