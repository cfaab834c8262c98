// Server stack, scripts/: running scripts for the router - CGI programs
// (this header, cgi_output.h), PHP scripts in a pool of php-cgi processes
// over FastCGI (php_pool.h, fastcgi_*.h), what a run gives back
// (script_result.h, script_stream.h) and their limits (script_settings.h).
// May use: http, message, jobs, compress, foundation, platform.
//
// This header: CGI execution. buildEnvironment turns a request into the
// variables of a CGI run; KoCgiRunner runs children on a KoBoundedWorkQueue,
// at most `cgiConcurrency` at once (further runs wait in order, at most
// `cgiQueueLimit` of them: more are finished 503 at once), so that a slow
// script never holds up the server's other requests. What a child writes
// goes to the run's KoScriptOutput as it comes (script_result.h), which may
// hold the run up while the client is slow.
//
// A child gets an explicit environment (never this process's, modified),
// the request body on its standard input (written while it runs, then
// closed; a body spilled to a file is that file itself), no command-line arguments, and this process's standard error.
// A run still going `cgiTimeout` after its request arrived is killed
// (finished 504; one whose time ran out while it waited is never started);
// a program that cannot start is finished 502 with a line on standard
// error; a run whose output is no longer wanted is killed (finished 502).
// Whether the output is wanted (its client is still there) is asked every
// `clientCheck` while a child runs, before a run that waited starts, and of
// the waiting runs when the queue is full: those whose clients have gone
// make room.
//
// Ownership: the runner owns its waiting runs and the jobs it submitted.
// Threads: any thread may submit; the output is fed and finished on the
// run's own scheduler task (a refused one on the caller's, before submit
// returns). stop() (and the destructor) kills the running children at once
// (finished 503), drops waiting runs without finishing them and waits until
// the running ones have finished.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/bounded_work_queue.h"
#include "platform/child_process.h"
#include "platform/temporary_file.h"
#include "platform/wake_up.h"
#include "server/scripts/script_result.h"
#include "server/scripts/script_settings.h"

class KoKessaScheduler2;
class KoXHeader;

using KoCgiEnvironment = std::map<std::string, std::string>;

// Where a script sits and who asked for it: the gateway variables.
struct KoCgiContext {
    std::string documentRoot;
    std::string scriptName;      // the request path that named the script
    std::string scriptFilename;  // the file that is run or interpreted
    std::string serverName;
    std::string serverPort;
    std::string remoteAddr;
    std::string remotePort;
};

// The request's variables: "HTTP_" fields, REQUEST_METHOD, QUERY_STRING,
// CONTENT_TYPE and CONTENT_LENGTH. False for a method other than GET, HEAD
// and POST (nothing is then run).
bool buildEnvironment(const KoXHeader& request, KoCgiEnvironment& environment);

// The gateway variables a CGI program expects (GATEWAY_INTERFACE, SERVER_*,
// REMOTE_*, SCRIPT_*, REQUEST_URI, DOCUMENT_ROOT, REDIRECT_STATUS), and the
// inherited variables below.
void addGatewayVariables(const KoXHeader& request, const KoCgiContext& context, KoCgiEnvironment& environment);

// The few of this process's variables a child needs to start (PATH, ...).
KoCgiEnvironment inheritedVariables();

// "NAME=value" entries for platform::ChildOptions.
std::vector<std::string> environmentEntries(const KoCgiEnvironment& environment);

class KoCgiRunner {
public:
    KoCgiRunner(KoKessaScheduler2& scheduler, const KoScriptSettings& settings);
    ~KoCgiRunner();
    KoCgiRunner(const KoCgiRunner&) = delete;
    KoCgiRunner& operator=(const KoCgiRunner&) = delete;

    // Queues a run; false once the runner is stopped. With inputFile, the
    // child reads its standard input from that file (input is then not
    // used), which is kept until the run has ended.
    bool submit(platform::ChildOptions options, std::string input, std::shared_ptr<KoScriptOutput> output,
                std::shared_ptr<const platform::TemporaryFile> inputFile = {});
    void stop();
    // Runs going on, and runs waiting for their turn.
    std::size_t Running();
    std::size_t Waiting();

private:
    struct Run {
        platform::ChildOptions options;
        std::string input;
        std::shared_ptr<KoScriptOutput> output;
        bool waited = false;  // it found no free place when it came
        std::shared_ptr<const platform::TemporaryFile> inputFile;  // options.inputFile's owner
    };

    std::size_t places() const;
    // Runs that wait for a place.
    std::size_t queuedLocked() const;
    // Takes the oldest waiting run, if any, and runs it.
    void runNext();
    void run(Run& run);
    // Moves the waiting runs nobody wants any more to `dropped`; the next
    // work item (each run has one) finishes them.
    void dropUnwantedLocked();

    const KoScriptSettings settings;
    platform::WakeUp stopWake;  // readable once stopping; never drained
    std::mutex lock;
    std::deque<std::shared_ptr<Run>> waiting;
    std::vector<std::shared_ptr<Run>> dropped;  // to be finished 503
    std::size_t started = 0;  // runs taken from `waiting` and not yet ended
    bool stopped = false;
    KoBoundedWorkQueue queue;  // last: its work items use the members above
};
