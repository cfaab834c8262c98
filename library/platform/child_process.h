// Platform: child processes with pipes on their standard input and output
// (the CGI runner's only way to start programs).
//
// A child gets exactly the environment it is given, never a modified copy
// of this process's own, so concurrent runs cannot see each other's
// variables. Its standard error is this process's standard error. Signal
// dispositions and the signal mask are reset to the defaults in the child.
//
// ChildProcess is move-only and owns the child: destroying one whose child
// still runs kills and reaps it, so no zombie outlives its owner. One thread
// at a time uses a ChildProcess.
//
// On Windows the child runs in a job object of its own: a kill ends what it
// started too, and the system ends the job when this process dies. Its
// ends are pipe handles, which cannot be waited on with sockets; runChild
// reads and writes them on threads of its own.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

struct ChildOptions {
    std::string program;                  // a path, or a name looked up in PATH
    std::vector<std::string> arguments;   // after the program name
    std::vector<std::string> environment; // "NAME=value", the whole environment
    std::string workingDirectory;         // empty: this process's
    // When not empty: the child's standard input is this file, read from its
    // start, instead of a pipe (a run then writes no input of its own).
    std::string inputFile;
};

class ChildProcess {
public:
    // Starts the child; fails with the error of the pipe, spawn or exec step
    // (a missing program fails here, not later).
    static Result<ChildProcess> start(const ChildOptions& options);

    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Non-blocking ends of the child's standard input and output; -1 once closed.
    int inputFd() const { return input_.get(); }
    int outputFd() const { return output_.get(); }
    void closeInput() { input_.reset(); }
    void closeOutput() { output_.reset(); }

    // Waits up to timeoutMs (negative: no limit) for the child to end, without
    // spinning. True once it has ended; exitCode() then tells how.
    Result<bool> wait(int timeoutMs);
    // Ends the child at once (SIGKILL); wait() still reaps it.
    void kill();

    bool ended() const { return pid_ < 0; }
    // The exit status, or -1 when a signal ended the child.
    int exitCode() const { return exitCode_; }

private:
    ChildProcess() = default;
    void reapNow();

    int pid_ = -1;
    Descriptor exitWatch_;  // readable when the child ends (pidfd; the process handle on Windows)
    Descriptor group_;      // the child's job object (Windows)
    Descriptor input_;
    Descriptor output_;
    int exitCode_ = -1;
    bool killed_ = false;  // Windows tells no signal apart from an exit code
};

// One whole run: the input is written while the output is read (so neither
// side can fill a pipe and stall the other), the child's input is closed
// after the last byte, and the output is taken until the child closes it
// and has ended.
struct ChildRun {
    // abandoned: the output's taker wanted no more (the child was killed);
    // stopped: the stop descriptor turned readable (the child was killed).
    enum class Outcome { completed, startFailed, timedOut, outputTooLarge, abandoned, stopped };
    Outcome outcome = Outcome::startFailed;
    std::string output;
    int exitCode = -1;
    Error error;  // why the start failed
};

// Takes a run's output as it comes: each piece read (at most 64 KiB), and an
// empty piece once the output has paused for the run's pause time (once per
// pause). It may block; meanwhile nothing is read, so the child blocks on a
// full pipe. False ends the run: the child is killed.
using ChildOutput = std::function<bool(std::string_view bytes)>;

// What else ends a run at once, killing the child: a stop descriptor that
// turns readable (never drained here), and wanted() answering false, asked
// every checkMs while the run goes on (checkMs < 0 or no wanted: never).
struct ChildRunEnds {
    int stopFd = -1;
    int checkMs = -1;
    std::function<bool()> wanted;
};

// timeoutMs bounds the whole run; a child still running then is killed (also
// when the output's taker held the run up past it). pauseMs < 0: no pauses
// are told. run.output stays empty.
ChildRun runChild(const ChildOptions& options, std::string_view input, const ChildOutput& output, int timeoutMs,
                  int pauseMs = -1, const ChildRunEnds& ends = {});

// The same, with the output collected in run.output; output beyond maxOutput
// bytes ends the run and kills the child.
ChildRun runChild(const ChildOptions& options, std::string_view input, std::size_t maxOutput, int timeoutMs);

// This process's environment as "NAME=value" entries.
std::vector<std::string> currentEnvironment();

}  // namespace platform
