#include "server/scripts/cgi_runner.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/x_header.h"

namespace {

std::string Upper(const std::string& text) {
    std::string out;
    for (char c : text) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string TrimLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

// The request target as sent, query included; an absolute target's path
// and query only.
std::string RequestTarget(const KoXHeader& request) {
    auto first = request.fields.find(":first:");
    if (first == request.fields.end() || first->second.size() < 2) return request.path;
    const std::optional<KoAbsoluteTarget> absolute = KoSplitAbsoluteTarget(first->second[1]);
    return absolute ? absolute->origin : first->second[1];
}

std::string QueryOf(const KoXHeader& request) {
    const std::string target = RequestTarget(request);
    const std::size_t mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

// Variables of this process that a child needs to start and find its tools.
constexpr const char* kInherited[] = {"PATH", "LANG", "LC_ALL", "TZ", "TMPDIR", "SystemRoot"};

}  // namespace

bool buildEnvironment(const KoXHeader& request, KoCgiEnvironment& environment) {
    const std::int32_t method = request.methodCode.load();
    if (method != method_code::GET && method != method_code::POST && method != method_code::HEAD) return false;
    for (const auto& [name, values] : request.fields) {
        if (name.empty() || name.front() == ':' || values.empty()) continue;
        // A name with '_' would give the variable of the name spelt with '-'
        // (X_Forwarded_For overriding X-Forwarded-For): such fields are dropped.
        if (name.find('_') != std::string::npos) continue;
        const std::string upper = Upper(name);
        // A request's "Proxy:" field must not become the child's proxy; the
        // body's type and length have variables of their own.
        if (upper == "PROXY" || upper == "CONTENT-LENGTH" || upper == "CONTENT-TYPE") continue;
        environment["HTTP_" + upper] = values.front();
        std::string underscored = upper;
        for (char& c : underscored) c = c == '-' ? '_' : c;
        environment["HTTP_" + underscored] = values.front();
    }
    // The query is the script's in every method, also for POST.
    environment["QUERY_STRING"] = QueryOf(request);
    if (method == method_code::POST) {
        environment["REQUEST_METHOD"] = "POST";
        environment["CONTENT_TYPE"] = request.HasField("content-type")
                                          ? TrimLineEnds(request.FirstValue("content-type"))
                                          : "application/x-www-form-urlencoded";
        if (request.HasField("content-length")) environment["CONTENT_LENGTH"] = request.FirstValue("content-length");
    } else {
        environment["REQUEST_METHOD"] = method == method_code::GET ? "GET" : "HEAD";
    }
    return true;
}

void addGatewayVariables(const KoXHeader& request, const KoCgiContext& context, KoCgiEnvironment& environment) {
    environment["GATEWAY_INTERFACE"] = "CGI/1.1";
    environment["SERVER_PROTOCOL"] = "HTTP/" + request.version;
    auto first = request.fields.find(":first:");
    if (first != request.fields.end() && first->second.size() >= 3) environment["SERVER_PROTOCOL"] = first->second[2];
    environment["SERVER_SOFTWARE"] = std::string(kProductName) + std::string(kProductVersion);
    environment["SERVER_NAME"] = context.serverName;
    environment["SERVER_PORT"] = context.serverPort;
    environment["REMOTE_ADDR"] = context.remoteAddr;
    environment["REMOTE_PORT"] = context.remotePort;
    environment["SCRIPT_NAME"] = context.scriptName;
    environment["SCRIPT_FILENAME"] = context.scriptFilename;
    environment["REQUEST_URI"] = RequestTarget(request);
    environment["DOCUMENT_ROOT"] = context.documentRoot;
    environment["REDIRECT_STATUS"] = "CGI";
    for (auto& [name, value] : inheritedVariables()) environment.emplace(name, std::move(value));
}

KoCgiEnvironment inheritedVariables() {
    KoCgiEnvironment inherited;
    for (const std::string& entry : platform::currentEnvironment()) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = entry.substr(0, equals);
        for (const char* wanted : kInherited) {
            if (name == wanted) inherited[name] = entry.substr(equals + 1);
        }
    }
    return inherited;
}

std::vector<std::string> environmentEntries(const KoCgiEnvironment& environment) {
    std::vector<std::string> entries;
    entries.reserve(environment.size());
    for (const auto& [name, value] : environment) {
        if (Upper(name) == "HTTP_PROXY") continue;
        entries.push_back(name + "=" + value);
    }
    return entries;
}

KoCgiRunner::KoCgiRunner(KoKessaScheduler2& scheduler, const KoScriptSettings& settings_)
    : settings(settings_), queue(scheduler, settings_.cgiConcurrency, "KoCgiRun") {}

KoCgiRunner::~KoCgiRunner() { stop(); }

bool KoCgiRunner::submit(platform::ChildOptions options, std::string input, std::shared_ptr<KoScriptOutput> output,
                         std::shared_ptr<const platform::TemporaryFile> inputFile) {
    if (!output) return false;
    if (inputFile) {
        options.inputFile = inputFile->path();
        input.clear();
    }
    auto made = std::make_shared<Run>(Run{std::move(options), std::move(input), output, false, std::move(inputFile)});
    bool full = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return false;
        made->waited = started + waiting.size() >= places();
        if (made->waited && queuedLocked() >= settings.cgiQueueLimit) {
            dropUnwantedLocked();
            full = queuedLocked() >= settings.cgiQueueLimit;
        }
        if (!full) waiting.push_back(made);
    }
    if (full) {
        output->finish(503);
        return true;
    }
    // One work item per run: each takes the oldest run that still waits.
    if (queue.submit([this] { runNext(); })) return true;
    std::lock_guard<std::mutex> guard(lock);
    waiting.erase(std::remove(waiting.begin(), waiting.end(), made), waiting.end());
    return false;
}

std::size_t KoCgiRunner::places() const { return std::max<std::size_t>(1, settings.cgiConcurrency); }

std::size_t KoCgiRunner::queuedLocked() const {
    // Runs not yet taken up while a place is free do not wait for a turn.
    const std::size_t admitted = started + waiting.size();
    return admitted > places() ? admitted - places() : 0;
}

void KoCgiRunner::dropUnwantedLocked() {
    for (auto it = waiting.begin(); it != waiting.end();) {
        if ((*it)->output->wanted()) {
            ++it;
        } else {
            dropped.push_back(std::move(*it));
            it = waiting.erase(it);
        }
    }
}

void KoCgiRunner::runNext() {
    std::shared_ptr<Run> next;
    std::vector<std::shared_ptr<Run>> unwanted;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return;
        unwanted.swap(dropped);
        if (!waiting.empty()) {
            next = std::move(waiting.front());
            waiting.pop_front();
            ++started;
        }
    }
    // Answered here, on a run's task, never on the loop that submitted:
    // their connections may belong to it.
    for (const auto& gone : unwanted) {
        try {
            gone->output->finish(503);
        } catch (...) {
            // Nobody waits for it.
        }
    }
    // A dropped run's work item may find nothing to run.
    if (!next) return;
    run(*next);
    std::lock_guard<std::mutex> guard(lock);
    --started;
}

void KoCgiRunner::run(Run& run) {
    KoScriptOutput& output = *run.output;
    std::int32_t status = 502;
    try {
        const auto deadline = output.arrived() + settings.cgiTimeout;
        // Rounded up: a run is never cut before its time is over.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - KoScriptOutput::Clock::now());
        if (run.waited && !output.wanted()) {
            // Its client went away while it waited: never started.
            status = 503;
        } else if (left.count() <= 0) {
            status = 504;
        } else {
            output.started(deadline);
            platform::ChildRunEnds ends;
            ends.stopFd = stopWake.valid() ? stopWake.fd() : -1;
            ends.checkMs = static_cast<int>(settings.clientCheck.count());
            ends.wanted = [&output] { return output.wanted(); };
            const platform::ChildRun result = platform::runChild(
                run.options, run.input,
                [&output](std::string_view bytes) { return bytes.empty() ? output.paused() : output.take(bytes); },
                static_cast<int>(left.count()), output.pauseMs(), ends);
            switch (result.outcome) {
            case platform::ChildRun::Outcome::completed: status = 0; break;
            case platform::ChildRun::Outcome::timedOut: status = 504; break;
            case platform::ChildRun::Outcome::stopped: status = 503; break;
            case platform::ChildRun::Outcome::startFailed:
                diagnostic("cannot start \"" + escapeForLog(run.options.program) + "\": " + result.error.text());
                break;
            case platform::ChildRun::Outcome::outputTooLarge:
            case platform::ChildRun::Outcome::abandoned: break;
            }
        }
    } catch (...) {
        // The run is over however it went; its answer says so.
    }
    try {
        output.finish(status);
    } catch (...) {
        // The answer is lost; the run still counts as ended.
    }
}

void KoCgiRunner::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
        waiting.clear();
        dropped.clear();
    }
    // Running children are killed now, not waited for.
    stopWake.signal();
    queue.stop();
}

std::size_t KoCgiRunner::Running() {
    std::lock_guard<std::mutex> guard(lock);
    return started;
}

std::size_t KoCgiRunner::Waiting() {
    std::lock_guard<std::mutex> guard(lock);
    return queuedLocked();
}
