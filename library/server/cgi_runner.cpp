#include "server/cgi_runner.h"

#include <cctype>
#include <utility>

#include "jobs/kessa_scheduler.h"
#include "message/http_tables.h"
#include "message/x_header.h"

namespace {

std::string Upper(const std::string& text) {
    std::string out;
    for (char c : text) out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string Lower(const std::string& text) {
    std::string out;
    for (char c : text) out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string TrimLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string TrimBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// The request target as sent, query included.
std::string RequestTarget(const KoXHeader& request) {
    auto first = request.fields.find(":first:");
    if (first != request.fields.end() && first->second.size() >= 2) return first->second[1];
    return request.path;
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
        const std::string upper = Upper(name);
        // A request's "Proxy:" field must not become the child's proxy.
        if (upper == "PROXY") continue;
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
    for (const std::string& entry : platform::currentEnvironment()) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = entry.substr(0, equals);
        for (const char* wanted : kInherited) {
            if (name == wanted && environment.count(name) == 0) environment[name] = entry.substr(equals + 1);
        }
    }
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

KoCgiAnswer parseCgiOutput(const std::string& output) {
    KoCgiAnswer answer;
    std::size_t pos = 0;
    std::vector<std::string> lines;
    bool ended = false;
    while (pos < output.size()) {
        const std::size_t lf = output.find('\n', pos);
        if (lf == std::string::npos) break;
        std::string line = output.substr(pos, lf - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = lf + 1;
        if (line.empty()) {
            ended = true;
            break;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || line.find_first_of(" \t") < colon) break;
        lines.push_back(std::move(line));
    }
    if (!ended || lines.empty()) {
        answer.body = output;
        return answer;
    }
    answer.body = output.substr(pos);
    bool hasStatus = false;
    bool hasLocation = false;
    for (const std::string& line : lines) {
        const std::size_t colon = line.find(':');
        const std::string name = Lower(line.substr(0, colon));
        const std::string value = TrimBlanks(line.substr(colon + 1));
        if (name == "status") {
            int code = 0;
            std::size_t i = 0;
            while (i < value.size() && i < 3 && std::isdigit(static_cast<unsigned char>(value[i]))) code = code * 10 + (value[i++] - '0');
            if (i == 3 && code >= 100 && code <= 999) {
                answer.status = code;
                hasStatus = true;
            }
            continue;
        }
        if (name == "content-length") continue;  // the server counts the body itself
        if (name == "location") hasLocation = true;
        answer.headerLines.push_back(line.substr(0, colon) + ": " + value);
    }
    if (hasLocation && !hasStatus) answer.status = 302;
    return answer;
}

KoCgiRunner::KoCgiRunner(KoKessaScheduler2& scheduler_, const KoHTTPSettings& settings_)
    : scheduler(scheduler_), settings(settings_) {}

KoCgiRunner::~KoCgiRunner() { stop(); }

bool KoCgiRunner::submit(platform::ChildOptions options, std::string input, Done done) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped) return false;
    // Forget the records of runs that have ended.
    for (auto it = jobs.begin(); it != jobs.end();) {
        if (scheduler.hasResult(*it)) {
            scheduler.takeResult(*it);
            it = jobs.erase(it);
        } else {
            ++it;
        }
    }
    waiting.push_back(Run{std::move(options), std::move(input), std::move(done)});
    launchLocked();
    return true;
}

void KoCgiRunner::launchLocked() {
    const std::size_t limit = settings.cgiConcurrency == 0 ? 1 : settings.cgiConcurrency;
    while (!stopped && running < limit && !waiting.empty()) {
        auto run = std::make_shared<Run>(std::move(waiting.front()));
        waiting.pop_front();
        ++running;
        KoKessaJobOptions options;
        options.name = "KoCgiRun";
        const auto body = [this, run](KoKessaJobParametersAndResult* p) {
            platform::ChildRun result;
            try {
                result = platform::runChild(run->options, run->input, settings.cgiOutputLimit,
                                            static_cast<int>(settings.cgiTimeout.count()));
            } catch (...) {
                result.outcome = platform::ChildRun::Outcome::startFailed;
            }
            try {
                if (run->done) run->done(std::move(result));
            } catch (...) {
                // The answer is lost; the run still counts as ended.
            }
            finished(0);
            return p;
        };
        jobs.insert(scheduler.submit(body, nullptr, options));
    }
}

void KoCgiRunner::finished(std::uint64_t) {
    std::lock_guard<std::mutex> guard(lock);
    --running;
    launchLocked();
    idle.notify_all();
}

void KoCgiRunner::stop() {
    std::set<std::uint64_t> submitted;
    {
        std::unique_lock<std::mutex> guard(lock);
        stopped = true;
        waiting.clear();
        idle.wait(guard, [this] { return running == 0; });
        submitted.swap(jobs);
    }
    for (std::uint64_t job : submitted) scheduler.cancelAndWait(job);
}

std::size_t KoCgiRunner::Running() {
    std::lock_guard<std::mutex> guard(lock);
    return running;
}

std::size_t KoCgiRunner::Waiting() {
    std::lock_guard<std::mutex> guard(lock);
    return waiting.size();
}
