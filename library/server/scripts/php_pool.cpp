#include "server/scripts/php_pool.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "jobs/kessa_scheduler.h"
#include "platform/service_process.h"
#include "server/scripts/cgi_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

// What PHP logs may quote what a client sent: one escaped line per line.
void PassOnErrors(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) diagnostic("php-cgi: " + escapeForLog(line));
        if (end == std::string_view::npos) break;
        bytes.remove_prefix(end + 1);
    }
}

std::size_t PoolSize(const KoPhpPoolSettings& settings) {
    if (settings.processes != 0) return settings.processes;
    return std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

}  // namespace

// One process and its connection, owned by the worker that drives it.
struct KoPhpPool::Slot {
    std::optional<platform::ServiceProcess> process;
    std::unique_ptr<KoFastCgiConnection> connection;
    std::size_t served = 0;
    unsigned failures = 0;  // in a row
    Clock::time_point retryAt{};

    bool usable() const { return connection != nullptr; }
    void end() {
        connection.reset();
        if (process) process->end();
        process.reset();
    }
};

KoPhpPool::KoPhpPool(KoKessaScheduler2& scheduler_, std::string program_, std::string workingDirectory_,
                     const KoScriptSettings& settings_)
    : scheduler(scheduler_),
      program(std::move(program_)),
      workingDirectory(std::move(workingDirectory_)),
      settings(settings_),
      size(PoolSize(settings_.php)) {
    KoCgiEnvironment environment = inheritedVariables();
    // The pool is the process manager: php-cgi forks no children and never
    // ends itself after a count of requests.
    environment["PHP_FCGI_CHILDREN"] = "0";
    environment["PHP_FCGI_MAX_REQUESTS"] = "0";
    processEnvironment = environmentEntries(environment);
}

KoPhpPool::~KoPhpPool() { stop(); }

std::size_t KoPhpPool::Waiting() {
    std::lock_guard<std::mutex> guard(lock);
    return waiting.size();
}

std::size_t KoPhpPool::Busy() {
    std::lock_guard<std::mutex> guard(lock);
    return outstanding - waiting.size();
}

bool KoPhpPool::submit(std::vector<std::string> params, std::string body, Done done) {
    return submit(std::move(params), std::move(body),
                  std::make_shared<KoCollectedOutput>(settings.cgiOutputLimit, std::move(done)));
}

bool KoPhpPool::submit(std::vector<std::string> params, std::string body, std::shared_ptr<KoScriptOutput> output,
                       std::shared_ptr<const platform::TemporaryFile> bodyFile) {
    bool full = false;
    bool unavailable = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return false;
        if (!running) unavailable = !startLocked();
        if (outstanding >= size + settings.php.queueLimit) dropUnwantedLocked();
        full = outstanding >= size + settings.php.queueLimit;
        if (!unavailable && !full) {
            ++outstanding;
            KoFastCgiRequest request{std::move(params), std::move(body), bodyFile ? bodyFile->path() : std::string()};
            waiting.push_back(Job{std::move(request), output, outstanding > size, std::move(bodyFile)});
        }
    }
    if (unavailable || full) {
        if (output) output->finish(unavailable ? 502 : 503);
        return true;
    }
    jobReady.notify_one();
    return true;
}

bool KoPhpPool::startLocked() {
    if (!stopWake.valid()) {
        diagnostic("php-cgi: no pool: " + stopWake.error().text());
        return false;
    }
    running = true;
    KoKessaJobOptions options;
    options.name = "KoPhpPoolWorker";
    for (std::size_t i = 0; i < size; ++i) {
        workers.push_back(scheduler.submit(
            [this](KoKessaJobParametersAndResult* p) {
                work();
                return p;
            },
            nullptr, options));
    }
    return true;
}

void KoPhpPool::dropUnwantedLocked() {
    for (auto it = waiting.begin(); it != waiting.end();) {
        if (!it->output || it->output->wanted()) {
            ++it;
        } else {
            dropped.push_back(std::move(*it));
            it = waiting.erase(it);
            --outstanding;
        }
    }
}

void KoPhpPool::stop() {
    std::vector<std::uint64_t> ending;
    std::deque<Job> unserved;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
        unserved.swap(waiting);
        outstanding -= unserved.size();
        for (Job& gone : dropped) unserved.push_back(std::move(gone));
        dropped.clear();
        ending.swap(workers);
    }
    stopWake.signal();
    jobReady.notify_all();
    for (std::uint64_t job : ending) scheduler.cancelAndWait(job);
}

void KoPhpPool::work() {
    Slot slot;
    for (;;) {
        // Ready before the request comes, unless the process keeps failing.
        if (!slot.usable() && Clock::now() >= slot.retryAt) startProcess(slot);
        Job job;
        bool taken = false;
        std::vector<Job> unwanted;
        {
            std::unique_lock<std::mutex> guard(lock);
            jobReady.wait(guard, [this] { return stopped || !waiting.empty() || !dropped.empty(); });
            if (stopped) break;
            unwanted.swap(dropped);
            if (!waiting.empty()) {
                job = std::move(waiting.front());
                waiting.pop_front();
                taken = true;
            }
        }
        // Answered here, never on the loop that submitted: their connections
        // may belong to it.
        for (Job& gone : unwanted) {
            try {
                if (gone.output) gone.output->finish(503);
            } catch (...) {
                // Nobody waits for it.
            }
        }
        if (!taken) continue;
        std::int32_t status = 502;
        try {
            if (!job.output) {
                // Nobody to answer.
            } else if (job.waited && !job.output->wanted()) {
                // Its client went away while it waited: never run.
                status = 503;
            } else if (Clock::now() >= job.output->arrived() + settings.cgiTimeout) {
                status = 504;
            } else {
                status = serve(slot, job.request, *job.output);
            }
        } catch (...) {
            // A taker that failed: the process may be mid-request.
            slot.end();
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            --outstanding;
        }
        try {
            if (job.output) job.output->finish(status);
        } catch (...) {
            // The answer is lost; the worker goes on.
        }
    }
    slot.end();
}

std::int32_t KoPhpPool::serve(Slot& slot, const KoFastCgiRequest& request, KoScriptOutput& output) {
    using Kind = KoFastCgiOutcome::Kind;
    const auto deadline = output.arrived() + settings.cgiTimeout;
    output.started(deadline);
    const std::function<bool()> wanted = [&output] { return output.wanted(); };
    const int checkMs = static_cast<int>(settings.clientCheck.count());
    const KoFastCgiConnection::Output take = [&output](std::string_view bytes) {
        return bytes.empty() ? output.paused() : output.take(bytes);
    };
    // A process that died while idle is noticed when the request cannot be
    // sent at all; the request then goes to a fresh one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!slot.usable()) {
            if (Clock::now() < slot.retryAt || !startProcess(slot)) return 502;
        }
        KoFastCgiOutcome outcome =
            slot.connection->exchange(request, deadline, take, output.pauseMs(), PassOnErrors, wanted, checkMs);
        switch (outcome.kind) {
        case Kind::completed:
            ++slot.served;
            slot.failures = 0;
            if (!outcome.reusable || (settings.php.maxRequests != 0 && slot.served >= settings.php.maxRequests)) {
                slot.end();
            }
            return 0;
        case Kind::unsent:
            slot.end();
            noteFailure(slot);
            continue;
        case Kind::timedOut:
            slot.end();
            return 504;
        case Kind::outputTooLarge:
        case Kind::abandoned:
            // It cannot finish the request: a fresh process takes the next.
            slot.end();
            return 502;
        case Kind::stopped:
            slot.end();
            return 503;
        case Kind::failed:
            diagnostic("php-cgi (process " + std::to_string(slot.process ? slot.process->id() : -1) +
                      "): " + outcome.failure);
            if (!outcome.reusable) {
                slot.end();
                noteFailure(slot);
            }
            return 502;
        }
    }
    return 502;
}

bool KoPhpPool::startProcess(Slot& slot) {
    slot.end();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return false;
    }
    ++launches;
    platform::ChildOptions options;
    options.program = program;
    options.environment = processEnvironment;
    options.workingDirectory = workingDirectory;
    // Only where the interpreter is reached by a port it opens itself
    // (Windows); short, since stop() waits for this worker.
    const auto listenWait = std::min<std::chrono::milliseconds>(settings.cgiTimeout, std::chrono::seconds(5));
    const int listenWaitMs = static_cast<int>(listenWait.count());
    auto started = platform::ServiceProcess::startConnected(options, "velko-php-", listenWaitMs);
    if (!started.ok()) {
        diagnostic("php-cgi: cannot start \"" + program + "\": " + started.error().text());
        noteFailure(slot);
        return false;
    }
    slot.process.emplace(std::move(started.value().process));
    slot.connection = std::make_unique<KoFastCgiConnection>(std::move(started.value().connection), stopWake.fd());
    slot.served = 0;
    if (!slot.connection->valid()) {
        slot.end();
        noteFailure(slot);
        return false;
    }
    return true;
}

void KoPhpPool::noteFailure(Slot& slot) {
    ++slot.failures;
    // The first failure restarts at once: one crash is no reason to wait.
    if (slot.failures < 2) {
        slot.retryAt = Clock::now();
        return;
    }
    auto pause = settings.php.restartBackoff;
    for (unsigned i = 2; i < slot.failures && pause < settings.php.restartBackoffLimit; ++i) pause *= 2;
    slot.retryAt = Clock::now() + std::min(pause, settings.php.restartBackoffLimit);
}
