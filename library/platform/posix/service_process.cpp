#include "platform/service_process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/local_socket.h"

namespace platform {
namespace {

std::vector<char*> nullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// The file a program name stands for, looked up in this process's PATH as
// the shell would; empty when there is none.
std::string resolve(const std::string& program) {
    if (program.find('/') != std::string::npos) return program;
    const char* path = std::getenv("PATH");
    const std::string directories = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        const std::string directory = end == start ? "." : directories.substr(start, end - start);
        const std::string candidate = directory + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeChild(pid_t parent, int standardInput, const char* directory, const char* file, char** argv,
                              char** envp, int report) {
    int error = 0;
    // Killed when the thread that started it ends, or this whole process:
    // an interpreter must not outlive a host that was killed. dup2 of 0 onto
    // itself would keep close-on-exec, hence the fcntl.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        error = errno ? errno : ESRCH;
    } else if (::setpgid(0, 0) != 0 || ::dup2(standardInput, 0) < 0 || ::fcntl(0, F_SETFD, 0) != 0 ||
               ::dup2(2, 1) < 0 || (directory && ::chdir(directory) != 0)) {
        error = errno;
    } else {
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, &standard, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(file, argv, envp);
        error = errno;
    }
    while (::write(report, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

}  // namespace

Result<ServiceProcess> ServiceProcess::start(const ChildOptions& options, int standardInput) {
    const std::string file = resolve(options.program);
    if (file.empty()) return Error(ENOENT);
    std::vector<std::string> argumentTexts{options.program};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    std::vector<char*> argv = nullTerminated(argumentTexts);
    std::vector<char*> envp = nullTerminated(environmentTexts);
    const char* directory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

    // The child tells why its exec failed through this pipe; a successful
    // exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return Error::last();
    Descriptor reportRead(report[0]);
    Descriptor reportWrite(report[1]);

    // No handler of the host may run in the child before exec.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) becomeChild(parent, standardInput, directory, file.c_str(), argv.data(), envp.data(), report[1]);
    const Error forkError = pid < 0 ? Error::last() : Error();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return forkError;

    reportWrite.reset();
    int childError = 0;
    long got;
    do {
        got = ::read(reportRead.get(), &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ServiceProcess process;
    process.pid_ = pid;
    if (got == static_cast<long>(sizeof childError)) {
        process.end();
        return Error(childError);
    }
    return process;
}

Result<ConnectedService> ServiceProcess::startConnected(const ChildOptions& options, const std::string& namePrefix,
                                                        int) {
    auto made = makeTemporaryDirectory(namePrefix);
    if (!made.ok()) return made.error();
    const std::string path = made.value() + "/socket";
    auto listening = listenLocal(path, 1);
    auto connected = listening.ok() ? connectLocal(path) : listening.error();
    removeTree(made.value());
    if (!connected.ok()) return connected.error();
    auto process = start(options, listening.value().get());
    if (!process.ok()) return process.error();
    return ConnectedService{std::move(process.value()), std::move(connected.value())};
}

ServiceProcess::ServiceProcess(ServiceProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ServiceProcess& ServiceProcess::operator=(ServiceProcess&& other) noexcept {
    if (this != &other) {
        end();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

ServiceProcess::~ServiceProcess() { end(); }

void ServiceProcess::end() {
    if (pid_ < 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace platform
