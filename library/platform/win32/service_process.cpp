#include "platform/service_process.h"

#include "platform/win32/process_start.h"
#include "platform/win32/wide_text.h"

namespace platform {

Result<ServiceProcess> ServiceProcess::start(const ChildOptions& options, int standardInput) {
    const HANDLE error = win32::standardError();
    auto started = win32::startProcess(options, win32::toHandle(standardInput), error, error);
    if (!started.ok()) return started.error();
    ServiceProcess process;
    process.pid_ = started.value().id;
    process.process_ = std::move(started.value().process);
    process.group_ = std::move(started.value().job);
    return process;
}

ServiceProcess::ServiceProcess(ServiceProcess&& other) noexcept
    : pid_(other.pid_), process_(std::move(other.process_)), group_(std::move(other.group_)) {
    other.pid_ = -1;
}

ServiceProcess& ServiceProcess::operator=(ServiceProcess&& other) noexcept {
    if (this != &other) {
        end();
        pid_ = other.pid_;
        process_ = std::move(other.process_);
        group_ = std::move(other.group_);
        other.pid_ = -1;
    }
    return *this;
}

ServiceProcess::~ServiceProcess() { end(); }

void ServiceProcess::end() {
    if (pid_ < 0) return;
    if (group_.valid()) ::TerminateJobObject(win32::toHandle(group_.get()), 1);
    ::TerminateProcess(win32::toHandle(process_.get()), 1);
    ::WaitForSingleObject(win32::toHandle(process_.get()), INFINITE);
    process_.reset();
    group_.reset();
    pid_ = -1;
}

}  // namespace platform
