// Server stack: KoPhpPool, the php-cgi processes that answer PHP scripts
// over FastCGI, started and owned by the server.
//
// Each process is one php-cgi with PHP_FCGI_CHILDREN=0, so that it forks no
// interpreters of its own: the pool sees every interpreter, and a script
// past the time limit costs exactly its own process. It is started the way
// FastCGI programs expect (platform::ServiceProcess::startConnected: a
// private local socket as its standard input; on Windows, php-cgi.exe on a
// loopback TCP port); the pool connects once and keeps the connection
// (FCGI_KEEP_CONN).
//
// The pool starts with its first request. One worker (a scheduler work
// item) drives each process: it takes the oldest waiting request, runs it
// within the CGI time limit (counted from the request's arrival: one whose
// time ran out while it waited is answered 504 unrun), hands the script's output to the request's
// KoScriptOutput as it comes (script_result.h) and finishes it with 0 or the
// status that answers instead: 504 past the time limit, 502 when php-cgi
// cannot start, breaks the protocol or dies, 503 when the wait queue is full
// or the pool stops. A request whose output is no longer wanted (its client
// went away) is not run when it has waited, is dropped from a full queue to
// make room, and is ended while it runs (asked every `clientCheck`). A
// process that timed out, broke or died, or whose
// output was no longer wanted (the client went away), is killed and
// replaced; one that has served `maxRequests` is replaced too. A process that keeps failing is
// restarted only after a growing pause, during which its requests get 502
// at once, so a php-cgi that cannot start never makes the pool spin.
// FCGI_STDERR goes to this process's standard error, with the lines that say
// why a process failed.
//
// Ownership: the pool owns its processes, their connections and its waiting
// requests. Threads: submit() from any thread; the output is fed and
// finished on a worker (or, for a full queue, finished on the caller's
// thread, before submit returns). stop()
// (and the destructor) ends every process, reaps it, and waits for the
// workers; in-flight requests are answered 503, waiting ones are dropped
// without being called.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/temporary_file.h"
#include "platform/wake_up.h"
#include "server/scripts/fastcgi_connection.h"
#include "server/scripts/script_result.h"
#include "server/scripts/script_settings.h"

class KoKessaScheduler2;

class KoPhpPool {
public:
    using Done = std::function<void(KoScriptResult)>;

    // program: the interpreter ("php-cgi" is looked up in PATH);
    // workingDirectory: where the processes start (empty: this process's).
    KoPhpPool(KoKessaScheduler2& scheduler, std::string program, std::string workingDirectory,
              const KoScriptSettings& settings);
    ~KoPhpPool();
    KoPhpPool(const KoPhpPool&) = delete;
    KoPhpPool& operator=(const KoPhpPool&) = delete;

    // Queues one request: its FastCGI parameters as "NAME=value" and its
    // body (or, with bodyFile, the body in that file, sent from it in
    // pieces and kept until the request is done). False (output not
    // finished) once the pool is stopped.
    bool submit(std::vector<std::string> params, std::string body, std::shared_ptr<KoScriptOutput> output,
                std::shared_ptr<const platform::TemporaryFile> bodyFile = {});
    // The same, with the output collected (up to the CGI output limit) and
    // handed to done.
    bool submit(std::vector<std::string> params, std::string body, Done done);
    void stop();

    std::size_t Size() const { return size; }
    // Requests waiting for a process, and requests being served.
    std::size_t Waiting();
    std::size_t Busy();
    // Processes the pool has tried to start (a replaced one counts again).
    std::size_t Launches() const { return launches.load(); }

private:
    struct Job {
        KoFastCgiRequest request;
        std::shared_ptr<KoScriptOutput> output;
        bool waited = false;  // every process was busy when it came
        std::shared_ptr<const platform::TemporaryFile> bodyFile;  // request.bodyFile's owner
    };
    struct Slot;

    bool startLocked();
    // Moves the waiting requests nobody wants any more to `dropped`, which
    // the next free worker finishes.
    void dropUnwantedLocked();
    void work();
    // 0 when the request completed, else the status that answers it.
    std::int32_t serve(Slot& slot, const KoFastCgiRequest& request, KoScriptOutput& output);
    bool startProcess(Slot& slot);
    void noteFailure(Slot& slot);

    KoKessaScheduler2& scheduler;
    const std::string program;
    const std::string workingDirectory;
    const KoScriptSettings settings;
    const std::size_t size;
    std::vector<std::string> processEnvironment;
    platform::WakeUp stopWake;  // readable once stopping; never drained
    std::atomic<std::size_t> launches{0};

    std::mutex lock;
    std::condition_variable jobReady;
    std::deque<Job> waiting;
    std::vector<Job> dropped;  // to be finished 503
    std::size_t outstanding = 0;  // admitted and not yet done
    bool running = false;
    bool stopped = false;
    std::vector<std::uint64_t> workers;  // scheduler jobs
};
