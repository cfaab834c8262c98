#include "platform/win32/process_start.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"

namespace platform::win32 {
namespace {

// The quoting that CommandLineToArgvW and the C run-time undo.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    for (auto at = argument.begin();; ++at) {
        std::size_t backslashes = 0;
        while (at != argument.end() && *at == L'\\') {
            ++at;
            ++backslashes;
        }
        if (at == argument.end()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (*at == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        line += *at;
    }
    line += L'"';
}

std::wstring commandLine(const ChildOptions& options) {
    std::wstring line;
    appendQuoted(line, toWide(options.program));
    for (const std::string& argument : options.arguments) {
        line += L' ';
        appendQuoted(line, toWide(argument));
    }
    return line;
}

// "NAME=value" entries, sorted by name without regard to case as Windows
// keeps them, each ended by a NUL, the block by another.
std::wstring environmentBlock(const std::vector<std::string>& entries) {
    std::vector<std::wstring> wide;
    wide.reserve(entries.size());
    for (const std::string& entry : entries) wide.push_back(toWide(entry));
    auto name = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); };
    std::stable_sort(wide.begin(), wide.end(), [&](const std::wstring& a, const std::wstring& b) {
        return ::CompareStringOrdinal(name(a).c_str(), -1, name(b).c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring block;
    for (const std::wstring& entry : wide) {
        block += entry;
        block += L'\0';
    }
    if (block.empty()) block += L'\0';
    block += L'\0';
    return block;
}

// An inheritable copy of handle for the child (the NUL device for none).
Descriptor inheritableCopy(HANDLE handle) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        copy = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    } else if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                                  DUPLICATE_SAME_ACCESS)) {
        copy = INVALID_HANDLE_VALUE;
    }
    return Descriptor(fromHandle(copy));
}

// Inheritable handles exist only while this lock is held, so a child
// started at the same time by another thread cannot inherit them.
std::mutex inheritingLock;

}  // namespace

HANDLE standardError() {
    const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

Result<StartedProcess> startProcess(const ChildOptions& options, HANDLE input, HANDLE output, HANDLE error) {
    std::wstring command = commandLine(options);
    std::wstring environment = environmentBlock(options.environment);
    const std::wstring directory = toWide(options.workingDirectory);

    PROCESS_INFORMATION information{};
    DWORD failure = 0;
    {
        std::lock_guard<std::mutex> guard(inheritingLock);
        Descriptor childInput = inheritableCopy(input);
        Descriptor childOutput = inheritableCopy(output);
        Descriptor childError = inheritableCopy(error);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = toHandle(childInput.get());
        startup.hStdOutput = toHandle(childOutput.get());
        startup.hStdError = toHandle(childError.get());
        // Suspended until it is in its job, so nothing it starts escapes.
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                              CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED | CREATE_NO_WINDOW, environment.data(),
                              directory.empty() ? nullptr : directory.c_str(), &startup, &information))
            failure = ::GetLastError();
    }
    if (failure != 0) return Error(static_cast<int>(failure));

    StartedProcess started;
    started.process.reset(fromHandle(information.hProcess));
    started.id = static_cast<int>(information.dwProcessId);
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
            ::AssignProcessToJobObject(job, information.hProcess)) {
            started.job.reset(fromHandle(job));
        } else {
            ::CloseHandle(job);
        }
    }
    ::ResumeThread(information.hThread);
    ::CloseHandle(information.hThread);
    return started;
}

void endProcess(StartedProcess& started) {
    if (started.job.valid()) ::TerminateJobObject(toHandle(started.job.get()), 1);
    if (started.process.valid()) ::TerminateProcess(toHandle(started.process.get()), 1);
}

}  // namespace platform::win32
