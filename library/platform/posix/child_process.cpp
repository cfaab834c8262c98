#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Pipe ends stay out of every other child: they are created close-on-exec,
// and the ones a child needs are duplicated onto 0 and 1 by the spawn.
Error makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return Error::last();
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return Error();
}

// dup2 onto itself would keep close-on-exec, so a pipe end that landed on
// 0, 1 or 2 (a host that closed its standard streams) is moved above them.
Error keepAboveStandardStreams(Descriptor& end) {
    if (end.get() > 2) return Error();
    const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return Error::last();
    end.reset(moved);
    return Error();
}

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int openExitWatch(int pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// Writes on a pipe whose reader is gone must fail with EPIPE, not raise
// SIGPIPE in a host that did not ask for it: the signal is blocked on this
// thread for the write, and one it raised is taken back before unblocking.
long writeWithoutSigpipe(int fd, const char* bytes, std::size_t length) {
    sigset_t pipeSet;
    sigset_t previous;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &previous);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);
    const bool wasPending = sigismember(&pendingBefore, SIGPIPE) == 1;

    const long written = ::write(fd, bytes, length);
    const int saved = errno;
    if (written < 0 && saved == EPIPE && !wasPending) {
        const timespec zero{0, 0};
        while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return written;
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Result<ChildProcess> ChildProcess::start(const ChildOptions& options) {
    Descriptor inputRead, inputWrite, outputRead, outputWrite;
    if (options.inputFile.empty()) {
        if (Error e = makePipe(inputRead, inputWrite); !e.ok()) return e;
    } else {
        const int fd = ::open(options.inputFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Error::last();
        inputRead.reset(fd);
    }
    if (Error e = makePipe(outputRead, outputWrite); !e.ok()) return e;
    if (Error e = keepAboveStandardStreams(inputRead); !e.ok()) return e;
    if (Error e = keepAboveStandardStreams(outputWrite); !e.ok()) return e;

    SpawnSetup setup;
    ::posix_spawn_file_actions_adddup2(&setup.actions, inputRead.get(), 0);
    ::posix_spawn_file_actions_adddup2(&setup.actions, outputWrite.get(), 1);
    if (!options.workingDirectory.empty())
        ::posix_spawn_file_actions_addchdir_np(&setup.actions, options.workingDirectory.c_str());

    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM})
        sigaddset(&defaults, s);
    ::posix_spawnattr_setsigmask(&setup.attributes, &emptyMask);
    ::posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    // Its own process group, so that a kill also ends what it started.
    ::posix_spawnattr_setpgroup(&setup.attributes, 0);
    ::posix_spawnattr_setflags(&setup.attributes,
                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argumentTexts;
    argumentTexts.push_back(options.program);
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    std::vector<char*> argv = pointers(argumentTexts);
    std::vector<char*> envp = pointers(environmentTexts);

    pid_t pid = -1;
    const bool searchPath = options.program.find('/') == std::string::npos;
    const int rc = searchPath
        ? ::posix_spawnp(&pid, options.program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data())
        : ::posix_spawn(&pid, options.program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (rc != 0) return Error(rc);

    ChildProcess child;
    child.pid_ = pid;
    child.exitWatch_.reset(openExitWatch(pid));
    child.input_ = std::move(inputWrite);
    child.output_ = std::move(outputRead);
    if (child.input_.valid()) setNonBlocking(child.input_.get());
    setNonBlocking(child.output_.get());
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_),
      exitWatch_(std::move(other.exitWatch_)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      exitCode_(other.exitCode_) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (pid_ >= 0) {
            kill();
            reapNow();
        }
        pid_ = other.pid_;
        exitWatch_ = std::move(other.exitWatch_);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        exitCode_ = other.exitCode_;
        other.pid_ = -1;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (pid_ >= 0) {
        kill();
        reapNow();
    }
}

void ChildProcess::kill() {
    if (pid_ < 0) return;
    ::kill(-pid_, SIGKILL);  // the group: the child and what it started
    ::kill(pid_, SIGKILL);   // in case it left its group
}

void ChildProcess::reapNow() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    exitWatch_.reset();
}

Result<bool> ChildProcess::wait(int timeoutMs) {
    if (pid_ < 0) return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            exitWatch_.reset();
            return true;
        }
        if (done < 0 && errno != EINTR) return Error::last();
        if (timeoutMs >= 0 && Clock::now() >= deadline) return false;
        const int left = timeoutMs < 0 ? -1 : millisecondsLeft(deadline);
        if (exitWatch_.valid()) {
            pollfd entry{exitWatch_.get(), POLLIN, 0};
            ::poll(&entry, 1, left);
        } else {
            // No pidfd on this kernel: back off instead of spinning.
            auto step = pause;
            if (left >= 0 && std::chrono::milliseconds(left) < step) step = std::chrono::milliseconds(left);
            std::this_thread::sleep_for(step);
            if (pause < std::chrono::milliseconds(50)) pause *= 2;
        }
    }
}

ChildRun runChild(const ChildOptions& options, std::string_view input, const ChildOutput& output, int timeoutMs,
                  int pauseMs, const ChildRunEnds& ends) {
    ChildRun run;
    auto started = ChildProcess::start(options);
    if (!started.ok()) {
        run.outcome = ChildRun::Outcome::startFailed;
        run.error = started.error();
        return run;
    }
    ChildProcess& child = started.value();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t written = 0;
    if (input.empty()) child.closeInput();
    run.outcome = ChildRun::Outcome::completed;

    char chunk[65536];
    // A pause is told once per quiet spell, pauseMs after the last output.
    bool pauseTold = pauseMs < 0;
    auto quietSince = Clock::now();
    const bool checks = ends.checkMs >= 0 && ends.wanted;
    auto nextCheck = Clock::now() + std::chrono::milliseconds(ends.checkMs);
    while (child.outputFd() >= 0) {
        int left = millisecondsLeft(deadline);
        if (left == 0) {
            run.outcome = ChildRun::Outcome::timedOut;
            break;
        }
        if (checks && Clock::now() >= nextCheck) {
            if (!ends.wanted()) {
                run.outcome = ChildRun::Outcome::abandoned;
                break;
            }
            nextCheck = Clock::now() + std::chrono::milliseconds(ends.checkMs);
        }
        if (!pauseTold) {
            const int pauseLeft = millisecondsLeft(quietSince + std::chrono::milliseconds(pauseMs));
            if (pauseLeft == 0) {
                pauseTold = true;
                if (!output(std::string_view())) {
                    run.outcome = ChildRun::Outcome::abandoned;
                    break;
                }
                continue;
            }
            left = std::min(left, pauseLeft);
        }
        // A quiet child is looked at again when the next check is due.
        if (checks) left = std::min(left, std::max(1, millisecondsLeft(nextCheck)));
        pollfd entries[3];
        nfds_t count = 0;
        entries[count++] = pollfd{child.outputFd(), POLLIN, 0};
        const nfds_t inputAt = count;
        if (child.inputFd() >= 0) entries[count++] = pollfd{child.inputFd(), POLLOUT, 0};
        const bool hasInput = count > inputAt;
        const nfds_t stopAt = count;
        if (ends.stopFd >= 0) entries[count++] = pollfd{ends.stopFd, POLLIN, 0};
        const int ready = ::poll(entries, count, left);
        if (ready < 0) {
            if (errno == EINTR) continue;
            run.outcome = ChildRun::Outcome::timedOut;
            break;
        }
        if (ends.stopFd >= 0 && entries[stopAt].revents != 0) {
            run.outcome = ChildRun::Outcome::stopped;
            break;
        }
        if (hasInput && entries[inputAt].revents != 0) {
            const long n = writeWithoutSigpipe(child.inputFd(), input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            // A child that stopped reading (EPIPE or any other error) simply gets no more.
            if (written == input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) child.closeInput();
        }
        if (entries[0].revents != 0) {
            const long n = ::read(child.outputFd(), chunk, sizeof chunk);
            if (n > 0) {
                pauseTold = pauseMs < 0;
                if (!output(std::string_view(chunk, static_cast<std::size_t>(n)))) {
                    run.outcome = ChildRun::Outcome::abandoned;
                    break;
                }
                quietSince = Clock::now();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                child.closeOutput();
            }
        }
    }
    // A taker that held the run up past its time ended a run that timed out.
    if (run.outcome == ChildRun::Outcome::abandoned && millisecondsLeft(deadline) == 0)
        run.outcome = ChildRun::Outcome::timedOut;
    child.closeInput();
    // A child that closed its output may go on: it has until the deadline,
    // unless the run is stopped first (looked at every stopSlice).
    constexpr int stopSlice = 50;
    while (run.outcome == ChildRun::Outcome::completed) {
        const int left = millisecondsLeft(deadline);
        auto ended = child.wait(ends.stopFd >= 0 ? std::min(left, stopSlice) : left);
        if (ended.ok() && ended.value()) break;
        if (!ended.ok() || millisecondsLeft(deadline) == 0) {
            run.outcome = ChildRun::Outcome::timedOut;
        } else if (pollfd stop{ends.stopFd, POLLIN, 0}; ::poll(&stop, 1, 0) > 0) {
            run.outcome = ChildRun::Outcome::stopped;
        }
    }
    if (run.outcome != ChildRun::Outcome::completed) child.kill();
    child.wait(-1);
    run.exitCode = child.exitCode();
    return run;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
    return entries;
}

}  // namespace platform
