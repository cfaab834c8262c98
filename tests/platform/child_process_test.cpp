#include "platform/child_process.h"
#include "platform/wake_up.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using platform::ChildOptions;
using platform::ChildRun;
using platform::runChild;

namespace {

ChildOptions shell(const std::string& script) {
    ChildOptions options;
    options.program = "/bin/sh";
    options.arguments = {"-c", script};
    options.environment = {"PATH=/usr/bin:/bin"};
    return options;
}

constexpr std::size_t kLarge = 1 << 20;

}  // namespace

TEST(ChildProcess, RunsWithInputAndCollectsOutput) {
    ChildRun run = runChild(shell("cat; echo done"), "hello\n", kLarge, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_EQ(run.output, "hello\ndone\n");
    EXPECT_EQ(run.exitCode, 0);
}

TEST(ChildProcess, StreamsInputLargerThanAPipeWhileReading) {
    // Writing all input before reading would fill both pipes and stall.
    std::string input(3 * kLarge, 'x');
    ChildRun run = runChild(shell("cat"), input, 4 * kLarge, 20000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_EQ(run.output.size(), input.size());
    EXPECT_EQ(run.output, input);
}

TEST(ChildProcess, GetsExactlyTheGivenEnvironment) {
    ChildOptions options;
    options.program = "/usr/bin/env";
    options.environment = {"ONLY=this"};
    ChildRun run = runChild(options, "", kLarge, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_EQ(run.output, "ONLY=this\n");
}

TEST(ChildProcess, ReportsExitCodeAndWorkingDirectory) {
    ChildOptions options = shell("pwd; exit 3");
    options.workingDirectory = "/";
    ChildRun run = runChild(options, "", kLarge, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_EQ(run.output, "/\n");
    EXPECT_EQ(run.exitCode, 3);
}

TEST(ChildProcess, MissingProgramFailsToStart) {
    ChildOptions options;
    options.program = "/nonexistent/program";
    ChildRun run = runChild(options, "x", kLarge, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::startFailed);
    EXPECT_FALSE(run.error.ok());
    EXPECT_TRUE(run.output.empty());

    options.program = "no-such-program-in-path";
    options.environment = {"PATH=/usr/bin:/bin"};
    EXPECT_EQ(runChild(options, "", kLarge, 10000).outcome, ChildRun::Outcome::startFailed);
}

TEST(ChildProcess, KillsAChildAndItsChildrenAtTheDeadline) {
    // The background sleep keeps the output pipe open; the group kill ends it too.
    ChildRun run = runChild(shell("echo started; sleep 30 & sleep 30"), "", kLarge, 300);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::timedOut);
    EXPECT_EQ(run.output, "started\n");
    EXPECT_EQ(run.exitCode, -1);
}

TEST(ChildProcess, StopsAtTheOutputLimit) {
    ChildRun run = runChild(shell("yes"), "", 1000, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::outputTooLarge);
    EXPECT_EQ(run.output.size(), 1000u);
}

TEST(ChildProcess, OutputIsHandedOnAsItComesAndPausesAreTold) {
    std::vector<std::string> pieces;
    ChildRun run = runChild(
        shell("printf one; sleep 0.3; printf two"), "",
        [&](std::string_view bytes) {
            pieces.emplace_back(bytes.empty() ? "<pause>" : std::string(bytes));
            return true;
        },
        10000, 100);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_TRUE(run.output.empty());
    // One pause told while the child sleeps, not one per wait.
    EXPECT_EQ(pieces, (std::vector<std::string>{"one", "<pause>", "two"}));
}

// Nothing but the time limit ended a quiet child: a stop had to wait for it,
// and so did a taker whose client had gone.
TEST(ChildProcess, StopDescriptorAndUnwantedOutputEndAQuietRun) {
    platform::WakeUp stop;
    stop.signal();
    platform::ChildRunEnds stopped;
    stopped.stopFd = stop.fd();
    const auto quiet = [](std::string_view) { return true; };
    EXPECT_EQ(runChild(shell("exec sleep 30"), "", quiet, 20000, -1, stopped).outcome, ChildRun::Outcome::stopped);
    int looks = 0;
    platform::ChildRunEnds unwanted;
    unwanted.checkMs = 10;
    unwanted.wanted = [&looks] { return ++looks < 3; };
    EXPECT_EQ(runChild(shell("exec sleep 30"), "", quiet, 20000, 100, unwanted).outcome,
              ChildRun::Outcome::abandoned);
    EXPECT_EQ(looks, 3);
}

TEST(ChildProcess, TakerThatWantsNoMoreEndsTheRun) {
    int calls = 0;
    ChildRun run = runChild(
        shell("yes"), "", [&](std::string_view) { return ++calls < 3; }, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::abandoned);
    EXPECT_EQ(calls, 3);
    // A taker that holds the run up past its time: the run timed out.
    run = runChild(
        shell("yes"), "",
        [](std::string_view) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return false;
        },
        100);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::timedOut);
}

TEST(ChildProcess, AChildThatIgnoresItsInputDoesNotRaiseSigpipe) {
    std::string input(2 * kLarge, 'y');
    ChildRun run = runChild(shell("echo early; exit 0"), input, kLarge, 10000);
    EXPECT_EQ(run.outcome, ChildRun::Outcome::completed);
    EXPECT_EQ(run.output, "early\n");
}

TEST(ChildProcess, DestroyingARunningChildReapsIt) {
    auto started = platform::ChildProcess::start(shell("sleep 30"));
    ASSERT_TRUE(started.ok());
    platform::ChildProcess child = std::move(started.value());
    auto ended = child.wait(50);
    ASSERT_TRUE(ended.ok());
    EXPECT_FALSE(ended.value());
    child.kill();
    ended = child.wait(5000);
    ASSERT_TRUE(ended.ok());
    EXPECT_TRUE(ended.value());
    EXPECT_TRUE(child.ended());
}
