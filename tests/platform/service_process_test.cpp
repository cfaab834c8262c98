#include "platform/service_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "platform/local_socket.h"

namespace {

// The state letter of a process in /proc ('Z' for a zombie), 0 when gone.
char StateOf(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string skip;
    char state = 0;
    stat >> skip >> skip >> state;
    return state;
}

platform::ChildOptions Sleeper() {
    platform::ChildOptions options;
    options.program = "sleep";
    options.arguments = {"60"};
    options.environment = {"PATH=/usr/bin:/bin"};
    return options;
}

TEST(ServiceProcess, MissingProgramFailsAtStart) {
    platform::ChildOptions options;
    options.program = "no-such-program-anywhere";
    EXPECT_EQ(platform::ServiceProcess::start(options, 0).error().text(), "No such file or directory");
    options.program = "/nonexistent/program";
    EXPECT_EQ(platform::ServiceProcess::start(options, 0).error().text(), "No such file or directory");
}

TEST(ServiceProcess, EndKillsAndReaps) {
    auto started = platform::ServiceProcess::start(Sleeper(), 0);
    ASSERT_TRUE(started.ok());
    const int pid = started.value().id();
    EXPECT_NE(StateOf(pid), 0);
    EXPECT_NE(StateOf(pid), 'Z');
    started.value().end();
    EXPECT_EQ(StateOf(pid), 0);
}

// A host killed before it could end its interpreters left them running for
// good, each in its own process group, waiting on a socket nobody could reach.
TEST(ServiceProcess, DiesWithTheThreadThatStartedIt) {
    std::optional<platform::ServiceProcess> kept;
    std::thread([&] {
        auto started = platform::ServiceProcess::start(Sleeper(), 0);
        if (started.ok()) kept.emplace(std::move(started.value()));
    }).join();
    ASSERT_TRUE(kept);
    const int pid = kept->id();
    for (int i = 0; i < 200 && StateOf(pid) != 'Z'; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(StateOf(pid), 'Z');
    kept->end();
}

TEST(LocalSocket, ConnectsBeforeTheListenerAcceptsAndRefusesLongNames) {
    auto dir = std::filesystem::temp_directory_path() / ("velko_local_" + std::to_string(::getpid()));
    std::filesystem::create_directory(dir);
    const std::string path = (dir / "s").string();
    auto listening = platform::listenLocal(path, 1);
    ASSERT_TRUE(listening.ok());
    EXPECT_TRUE(platform::connectLocal(path).ok());
    EXPECT_TRUE(platform::removeName(path).ok());
    EXPECT_FALSE(platform::connectLocal(path).ok());
    EXPECT_EQ(platform::listenLocal(std::string(200, 'x'), 1).error().text(), "File name too long");
    std::filesystem::remove_all(dir);
}

}  // namespace
