#include "platform/child_process.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/open_file.h"
#include "platform/poller.h"
#include "platform/win32/process_start.h"
#include "platform/win32/wide_text.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
using win32::fromHandle;
using win32::toHandle;

Error makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    HANDLE readHandle = nullptr;
    HANDLE writeHandle = nullptr;
    // Not inheritable: the child gets copies of the ends it needs.
    if (!::CreatePipe(&readHandle, &writeHandle, nullptr, 0)) return Error::last();
    readEnd.reset(fromHandle(readHandle));
    writeEnd.reset(fromHandle(writeHandle));
    return Error();
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
        auto opened = openForReading(options.inputFile);
        if (!opened.ok()) return opened.error();
        inputRead = std::move(opened.value());
    }
    if (Error e = makePipe(outputRead, outputWrite); !e.ok()) return e;
    auto started = win32::startProcess(options, toHandle(inputRead.get()), toHandle(outputWrite.get()),
                                       win32::standardError());
    if (!started.ok()) return started.error();
    ChildProcess child;
    child.pid_ = started.value().id;
    child.exitWatch_ = std::move(started.value().process);
    child.group_ = std::move(started.value().job);
    child.input_ = std::move(inputWrite);
    child.output_ = std::move(outputRead);
    return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_),
      exitWatch_(std::move(other.exitWatch_)),
      group_(std::move(other.group_)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      exitCode_(other.exitCode_),
      killed_(other.killed_) {
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
        group_ = std::move(other.group_);
        input_ = std::move(other.input_);
        output_ = std::move(other.output_);
        exitCode_ = other.exitCode_;
        killed_ = other.killed_;
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
    if (group_.valid()) ::TerminateJobObject(toHandle(group_.get()), 1);
    ::TerminateProcess(toHandle(exitWatch_.get()), 1);
    killed_ = true;
}

void ChildProcess::reapNow() {
    ::WaitForSingleObject(toHandle(exitWatch_.get()), INFINITE);
    DWORD code = 0;
    exitCode_ = !killed_ && ::GetExitCodeProcess(toHandle(exitWatch_.get()), &code) ? static_cast<int>(code) : -1;
    pid_ = -1;
    exitWatch_.reset();
    group_.reset();
}

Result<bool> ChildProcess::wait(int timeoutMs) {
    if (pid_ < 0) return true;
    const DWORD rc = ::WaitForSingleObject(toHandle(exitWatch_.get()), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (rc == WAIT_FAILED) return Error::last();
    if (rc == WAIT_TIMEOUT) return false;
    reapNow();
    return true;
}

namespace {

// The child's output as a reader thread hands it over: one piece at a time,
// so nothing is read ahead of the taker (the child blocks on a full pipe).
struct OutputHandOver {
    std::mutex lock;
    std::condition_variable changed;
    std::string piece;
    bool havePiece = false;
    bool ended = false;     // the pipe gave its end
    bool stopping = false;  // the run wants no more
};

void readOutput(HANDLE pipe, OutputHandOver& over) {
    std::string buffer(65536, '\0');
    for (;;) {
        DWORD got = 0;
        const bool read = ::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
        std::unique_lock<std::mutex> guard(over.lock);
        if (!read || got == 0) {
            over.ended = true;
            over.changed.notify_all();
            return;
        }
        over.piece.assign(buffer.data(), got);
        over.havePiece = true;
        over.changed.notify_all();
        over.changed.wait(guard, [&] { return !over.havePiece || over.stopping; });
        if (over.stopping) return;
    }
}

void writeInput(HANDLE pipe, std::string_view input) {
    while (!input.empty()) {
        DWORD written = 0;
        const DWORD chunk = input.size() > 65536 ? 65536 : static_cast<DWORD>(input.size());
        // A child that stopped reading (the pipe broke) simply gets no more.
        if (!::WriteFile(pipe, input.data(), chunk, &written, nullptr)) return;
        input.remove_prefix(written);
    }
}

}  // namespace

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
    run.outcome = ChildRun::Outcome::completed;

    // The input is written while the output is read, each on a thread of its
    // own; both end when the child ends (its pipe ends close with it).
    std::thread writer;
    if (input.empty()) {
        child.closeInput();
    } else {
        writer = std::thread([&child, input] {
            writeInput(toHandle(child.inputFd()), input);
            child.closeInput();
        });
    }
    OutputHandOver over;
    std::thread reader([&child, &over] { readOutput(toHandle(child.outputFd()), over); });

    bool pauseTold = pauseMs < 0;
    constexpr int stopLookMs = 50;
    auto pauseDue = Clock::now() + std::chrono::milliseconds(pauseMs < 0 ? 0 : pauseMs);
    auto nextCheck = Clock::now() + std::chrono::milliseconds(ends.checkMs < 0 ? 0 : ends.checkMs);
    {
        std::unique_lock<std::mutex> guard(over.lock);
        for (;;) {
            if (over.havePiece) {
                std::string piece = std::move(over.piece);
                over.havePiece = false;
                guard.unlock();
                pauseTold = pauseMs < 0;
                if (!pauseTold) pauseDue = Clock::now() + std::chrono::milliseconds(pauseMs);
                const bool more = output(piece);
                guard.lock();
                over.changed.notify_all();
                if (!more) {
                    run.outcome = ChildRun::Outcome::abandoned;
                    break;
                }
                continue;
            }
            if (over.ended) break;
            // A stop or an unwanted run ends it at the next look.
            if (ends.stopFd >= 0) {
                const auto stop = waitDescriptor(ends.stopFd, readable, 0);
                if (stop.ok() && stop.value() != 0) {
                    run.outcome = ChildRun::Outcome::stopped;
                    break;
                }
            }
            if (ends.wanted && ends.checkMs >= 0 && Clock::now() >= nextCheck) {
                nextCheck = Clock::now() + std::chrono::milliseconds(ends.checkMs);
                guard.unlock();
                const bool wanted = ends.wanted();
                guard.lock();
                if (!wanted) {
                    run.outcome = ChildRun::Outcome::abandoned;
                    break;
                }
                continue;
            }
            int left = millisecondsLeft(deadline);
            if (left == 0) {
                run.outcome = ChildRun::Outcome::timedOut;
                break;
            }
            // The pause is told once the output has been quiet for pauseMs.
            if (!pauseTold && Clock::now() >= pauseDue) {
                pauseTold = true;
                guard.unlock();
                const bool more = output(std::string_view());
                guard.lock();
                if (!more) {
                    run.outcome = ChildRun::Outcome::abandoned;
                    break;
                }
                continue;
            }
            if (!pauseTold) left = std::min(left, millisecondsLeft(pauseDue));
            // Pipes cannot be waited on with the stop socket: look again soon.
            if (ends.stopFd >= 0) left = std::min(left, stopLookMs);
            if (ends.wanted && ends.checkMs >= 0) left = std::min(left, std::max(ends.checkMs, 1));
            over.changed.wait_for(guard, std::chrono::milliseconds(std::max(left, 1)),
                                  [&] { return over.havePiece || over.ended; });
        }
        over.stopping = true;
        over.changed.notify_all();
    }
    if (run.outcome == ChildRun::Outcome::abandoned && millisecondsLeft(deadline) == 0)
        run.outcome = ChildRun::Outcome::timedOut;
    if (run.outcome == ChildRun::Outcome::completed) {
        auto ended = child.wait(millisecondsLeft(deadline));
        if (!ended.ok() || !ended.value()) run.outcome = ChildRun::Outcome::timedOut;
    }
    if (run.outcome != ChildRun::Outcome::completed) child.kill();
    child.wait(-1);
    // The child and its job are gone: the pipes are broken, both threads end.
    reader.join();
    if (writer.joinable()) writer.join();
    run.exitCode = child.exitCode();
    return run;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) return entries;
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
        // Entries such as "=C:=C:\dir" keep the current directory per drive.
        if (entry[0] == L'=') continue;
        entries.push_back(win32::fromWide(entry));
    }
    ::FreeEnvironmentStringsW(block);
    return entries;
}

}  // namespace platform
