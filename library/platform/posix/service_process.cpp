#include "platform/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace platform {
namespace {

std::vector<char*> nullTerminated(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Owns the spawn attributes and file actions for the one call that uses them.
struct SpawnPlan {
    SpawnPlan() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnPlan() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

}  // namespace

Result<ServiceProcess> ServiceProcess::start(const ChildOptions& options, int standardInput) {
    // dup2 of a descriptor onto itself keeps close-on-exec: one that sits on
    // 0 (a host that closed its standard input) goes through a copy.
    Descriptor copy;
    if (standardInput == 0) {
        const int moved = ::fcntl(standardInput, F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return Error::last();
        copy.reset(moved);
        standardInput = moved;
    }
    SpawnPlan plan;
    ::posix_spawn_file_actions_adddup2(&plan.actions, standardInput, 0);
    ::posix_spawn_file_actions_adddup2(&plan.actions, 2, 1);
    if (!options.workingDirectory.empty())
        ::posix_spawn_file_actions_addchdir_np(&plan.actions, options.workingDirectory.c_str());

    sigset_t none;
    sigemptyset(&none);
    sigset_t reset;
    sigfillset(&reset);
    sigdelset(&reset, SIGKILL);
    sigdelset(&reset, SIGSTOP);
    ::posix_spawnattr_setsigmask(&plan.attributes, &none);
    ::posix_spawnattr_setsigdefault(&plan.attributes, &reset);
    ::posix_spawnattr_setpgroup(&plan.attributes, 0);
    ::posix_spawnattr_setflags(&plan.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> argumentTexts{options.program};
    argumentTexts.insert(argumentTexts.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> environmentTexts = options.environment;
    std::vector<char*> argv = nullTerminated(argumentTexts);
    std::vector<char*> envp = nullTerminated(environmentTexts);

    pid_t pid = -1;
    const auto spawn = options.program.find('/') == std::string::npos ? ::posix_spawnp : ::posix_spawn;
    const int rc = spawn(&pid, options.program.c_str(), &plan.actions, &plan.attributes, argv.data(), envp.data());
    if (rc != 0) return Error(rc);
    ServiceProcess process;
    process.pid_ = pid;
    return process;
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
