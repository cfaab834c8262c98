// Platform: a long-lived child process that serves on a descriptor handed
// to it as its standard input (a listening socket, the way FastCGI
// programs expect to be started). Its standard output and standard error
// are this process's standard error, so whatever it prints reaches the log.
//
// Like ChildProcess, a child gets exactly the environment it is given,
// default signal dispositions and an empty signal mask, and a process group
// of its own (a kill also ends what it started).
//
// ServiceProcess is move-only and owns the child: destroying one kills and
// reaps it, so no process and no zombie outlives its owner. The child is
// also killed by the system when the thread that started it ends, or this
// whole process (a host that is killed leaves no server behind): start
// children from a thread that lives as long as they should. One thread at
// a time uses a ServiceProcess. On Windows a job object of its own plays
// the part of the process group and of the parent-death signal.
//
// startConnected gives a FastCGI program and the one connection to it:
// - POSIX: a listening local socket named in a fresh directory that only
//   this user can enter, connected before the child runs (the backlog holds
//   the connection until the child accepts it), handed to the child as its
//   standard input; name and directory are removed at once, so nothing is
//   left to find, even when this process is killed.
// - Windows, which has no such start for php-cgi.exe (no Unix-domain
//   sockets, no listening socket on standard input): a free loopback TCP
//   port is named on the command line ("-b 127.0.0.1:PORT", after the given
//   arguments) and connected once the child listens. Any local program may
//   reach that port while the child lives; the port is chosen by binding
//   port 0 and let go just before the child binds it.
#pragma once

#include <string>

#include "platform/child_process.h"
#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

struct ConnectedService;

class ServiceProcess {
public:
    // Starts options.program (a name without "/" is looked up in this
    // process's PATH) with standardInput as its descriptor 0; fails with the
    // error of the fork, set-up or exec step (a missing program fails here).
    // The caller keeps its own standardInput.
    static Result<ServiceProcess> start(const ChildOptions& options, int standardInput);
    // The child and a non-blocking connection to it (see above). namePrefix
    // names the private directory (POSIX); waitMs bounds the wait for the
    // child to listen (Windows), and a child that ends first fails the start.
    static Result<ConnectedService> startConnected(const ChildOptions& options, const std::string& namePrefix,
                                                   int waitMs);

    ServiceProcess(ServiceProcess&& other) noexcept;
    ServiceProcess& operator=(ServiceProcess&& other) noexcept;
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    ~ServiceProcess();

    // The process id, -1 once reaped.
    int id() const { return pid_; }
    // Kills the child (SIGKILL, its group too) and reaps it; returns at once
    // when it has already been reaped.
    void end();

private:
    ServiceProcess() = default;

    int pid_ = -1;
    Descriptor process_;  // the process handle (Windows)
    Descriptor group_;    // its job object (Windows)
};

struct ConnectedService {
    ServiceProcess process;
    Descriptor connection;
};

}  // namespace platform
