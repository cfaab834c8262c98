// Starting a child process on Windows, shared by ChildProcess and
// ServiceProcess: the command line quoted as the C run-time splits it, an
// explicit UTF-16 environment block, the three standard handles given, and
// a job object of its own that ends the child and everything it started
// when the job's last handle closes (also when this process dies).
#pragma once

#include "platform/child_process.h"
#include "platform/descriptor.h"
#include "platform/error.h"
#include "platform/win32/windows_headers.h"

namespace platform::win32 {

struct StartedProcess {
    Descriptor process;
    Descriptor job;  // invalid when this process may not nest jobs
    int id = -1;
};

// The child gets exactly these standard handles (null: the NUL device);
// no other handle of this process is inherited.
Result<StartedProcess> startProcess(const ChildOptions& options, HANDLE input, HANDLE output, HANDLE error);

// Ends the child and what it started at once.
void endProcess(StartedProcess& started);

// This process's standard error, or null.
HANDLE standardError();

}  // namespace platform::win32
