// Server stack, routing/: deciding what answers a request - the router
// (this header), the host's routes (route_table.h), the site rules, the
// interfaces the router asks (request_guard.h, request_hook.h,
// error_pages.h, router_services.h), what it tells the layer (body_plan.h,
// route_result.h) and the HTTP settings (http_settings.h).
// May use: scripts, files, http, listen (its settings), html, message, jobs,
// foundation, platform.
//
// This header: KoRequestRouter, the request router that a client installs
// for its HTTP and HTTPS requests. A request that breaks the Host rules is
// answered 400 and its connection closed, one whose Host the site rules do
// not answer (site_rules.h) 421; "OPTIONS *" is answered 204 with
// the methods the server takes. Then it answers, in this order: application
// commands (form field "velkoid", handled by the application's handler
// registry, or a new handler for the command URL), the host's routes (by
// method and normalised path, KoRouteTable), then files below the
// document root: directories with their default document ("index.php",
// else "index.html"), store variables, programs in the CGI directory
// ("cgi-bin/"), ".php" scripts through the interpreter, static files; and
// otherwise the 404 page. A host's request hook (KoRequestHook), when set,
// is asked before any of them, after the guard.
//
// A request's body is kept as planBody says at its header's end: in memory
// for a command's form, in a temporary file past the memory bound for a
// script (which reads it from there) or a host handler (velko::Request's
// bodyFile), passed on as it arrives for an upload route's handler (which
// is called at the header's end), discarded for everything else.
//
// The request's form (KoXHeader::FormStatus) is read only when a command
// is registered or the command URL is asked, and before a host's handler
// runs (on its own thread when it may block); a form beyond the message's
// form limits or with a malformed escape is answered 413 or 400.
//
// Paths are normalised first (KoNormaliseRequestPath: percent-decoded,
// repeated '/' collapsed); a path with a NUL byte, a backslash or a segment
// that begins with "." (".." included) is refused with the 404 page before
// the file system is asked. Every decision is taken on the normalised path,
// and a file that lies inside the CGI directory (however it was reached) is
// never sent or interpreted, only run through the CGI prefix. A directory
// named without its trailing slash is redirected (301) to the normalised
// name with it. A file that exists but cannot be examined or opened is
// answered 500 (503 when the process is out of descriptors) with a line on
// standard error, never 404. What it learns of files (status, place, the
// open file) comes from the calling thread's KoFileCache.
//
// A command, or a host's route of a method that acts, asked by a page of
// another site is answered 403. Every answer gets the site's security
// fields; a stored value is plain text that browsers may not sniff.
//
// Methods (http/request_rules.h): commands take POST (GET with the site
// rules' commandsOnGet; HEAD never), the host's routes the methods they are
// registered for; store values, CGI programs and scripts GET, HEAD and POST;
// static files GET and HEAD, answered with validators, preconditions and
// ranges (files/file_answer.h). OPTIONS on any of them is answered 204,
// other methods 405, with "Allow".
//
// A CGI run's output goes to a KoScriptStream: malformed output is answered
// 502 with a line on standard error; a short answer is sent whole, a long or
// slow one as it comes, the run held up while its client is slow.
//
// CGI runs go to the router's KoCgiRunner, PHP scripts to its KoPhpPool (or,
// with the pool turned off, to the runner as well), handlers that may block
// to its handler queue (at most `handlerConcurrency` at once); route() then
// reports kAnswerPending, and completeAnswer() hands the answer to the
// request's answer sink when the work is done (a script's through its
// KoScriptStream); the connection's loop writes it. A handler that throws is
// answered 500 with a line on standard error.
//
// Ownership: the router shares nothing; an answer goes to the request's
// answer sink (a request without one has nobody waiting for its answer). A
// file's answer carries the file the router opened (bodyOpenFile), so that
// the layer sends what was decided on.
// Threads: route() runs on the loop of the request's connection; script
// completions and blocking handlers on their tasks or the pool's workers.
// stop() ends the handler queue, the PHP pool and the CGI runs (cutting
// answers being streamed, killing the programs of runs in progress,
// dropping those that wait) and must be called before the transceiver goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jobs/bounded_work_queue.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "server/files/file_cache.h"
#include "server/http/request_rules.h"
#include "server/routing/body_plan.h"
#include "server/routing/http_settings.h"
#include "server/routing/router_services.h"
#include "server/scripts/cgi_runner.h"
#include "server/scripts/php_pool.h"
#include "server/scripts/script_stream.h"

class KoTransceiver;
class KoXHeader;
class KoXResponseHeader;

struct KoRouterConfig {
    // Both end in the platform's separator, or are empty.
    std::string documentRoot;
    std::string cgiDirectory;
    std::string phpBinary = "php-cgi";
    std::string commandUrl;
};

// The outcome of looking at a request path, before anything is run.
struct KoPathDecision {
    enum class Kind { refuse, index, redirect, store, program, script, file, missing, failed } kind = Kind::refuse;
    std::string decoded;  // the normalised path
    std::string file;     // the file to serve or run, when there is one
    platform::FileInfo info;  // its status
    platform::Error error;  // why the file could not be examined (failed)
    KoFileCache::Found found;  // the file's entry in the loop's cache, for this request
};

class KoRequestRouter : public std::enable_shared_from_this<KoRequestRouter> {
public:
    static constexpr const char* cgiPrefix = "cgi-bin/";
    static constexpr const char* scriptSuffix = ".php";

    KoRequestRouter(KoTransceiver& transceiver, KoRouterServices& services, KoRouterConfig config,
                    KoHTTPSettings settings = {});
    ~KoRequestRouter();
    KoRequestRouter(const KoRequestRouter&) = delete;
    KoRequestRouter& operator=(const KoRequestRouter&) = delete;

    // 1 answered, kAnswerPending, 0 not answered.
    int route(const std::string& source, std::shared_ptr<KoXHeader> request);
    // What the request's body is for, asked at its header's end (on the
    // loop, without blocking: at most the status queries route() makes):
    // the answer route() will give, taken the same way. Bodies of commands
    // with a form are kept; of CGI programs, scripts and host routes spooled;
    // of files, stored values and OPTIONS discarded; any other answer (404,
    // 405, 301, the Host rules' 400, a file that cannot be examined) is
    // given without the body.
    KoBodyPlan planBody(const KoXHeader& request);
    void stop();

    // Where the file route takes a request path (no side effects beyond
    // status queries of files).
    KoPathDecision decide(const std::string& path);
    // The same for a path normalised already (nothing when it was refused).
    KoPathDecision decideNormal(const std::optional<std::string>& normal);

    // Start a CGI run: the interpreter (pooled, unless the pool is off) on
    // scriptPath, or programPath itself. False (nothing answered) when the
    // file is missing or the method has no CGI form.
    bool runScript(const std::string& scriptPath, std::shared_ptr<KoXHeader> request);
    bool runProgram(const std::string& programPath, std::shared_ptr<KoXHeader> request);

    const KoRouterConfig& Config() const { return config; }
    using FieldList = std::vector<std::pair<std::string, std::string>>;
    KoCgiRunner& Runner() { return runner; }

private:
    // The CGI variables of a run of file (made absolute in place); false
    // when it is missing or the method has no CGI form.
    bool scriptEnvironment(std::string& file, const KoXHeader& request, KoCgiEnvironment& environment);
    bool runChildFor(const std::string& program, const std::string& file, std::shared_ptr<KoXHeader> request);
    // A request that would act, sent by a page of another site (403).
    bool crossSite(const KoXHeader& request) const;
    // Whether a command could read the request (its form names "velkoid",
    // or it is at the command URL).
    bool commandMayRead(const KoXHeader& request);
    // What follows the guard: commands, routes, files.
    int routeAdmitted(const std::shared_ptr<KoXHeader>& request);
    // The host's hook first, on the handler queue (router_hook.cpp); the
    // request goes on on its loop when the hook lets it.
    int routeAfterHook(const std::shared_ptr<KoXHeader>& request);
    // True when response holds the hook's answer (500 when it threw).
    bool askHook(KoXHeader& request, std::shared_ptr<KoXResponseHeader>& response);
    int routeCommand(const std::shared_ptr<KoXHeader>& request);
    int routeHost(const std::shared_ptr<KoXHeader>& request, const std::optional<std::string>& path);
    // 405 (204 for OPTIONS) with "Allow" when routes take the path for
    // other methods; else 0 (router_route_methods.cpp).
    int sendRouteMethods(const KoXHeader& request, const std::string& path);
    // Runs the answer's work on the handler queue: kAnswerPending, or 0 when
    // the queue is stopped.
    using Work = std::function<void(KoXHeader& request, KoXResponseHeader& response)>;
    int answerLater(const std::shared_ptr<KoXHeader>& request, Work work);
    // Sends an answer that route() reported pending and lets the layer go on
    // with the connection.
    void completeAnswer(const KoXHeader& request, const std::shared_ptr<KoXResponseHeader>& response);
    // The answer of a script run on file, fed by the run; it goes out
    // through completeAnswer().
    std::shared_ptr<KoScriptStream> scriptAnswer(const std::shared_ptr<KoXHeader>& request, const std::string& file);
    int routeFile(const std::shared_ptr<KoXHeader>& request, const std::optional<std::string>& normal);
    std::shared_ptr<KoXResponseHeader> answerFor(const KoXHeader& request, std::int32_t status);
    int send(const KoXHeader& request, const std::shared_ptr<KoXResponseHeader>& response);
    // The file's name is taken: the answer carries it on.
    int sendFile(const KoXHeader& request, std::string file, const platform::FileInfo& info,
                 KoFileCache::Found found);
    int sendMethodAnswer(const KoXHeader& request, std::int32_t status, KoResourceKind kind);
    int sendFailure(const KoXHeader& request, const std::string& file, platform::Error why);
    // The answer to a request whose form was refused (400, 413).
    int sendRefusedForm(const KoXHeader& request, std::int32_t status);
    static KoPathDecision failedOrMissing(KoPathDecision decision, platform::Error error);
    KoPathDecision outsideCgi(KoPathDecision decision) const;
    int send404(const KoXHeader& request);
    static void fill404(KoXResponseHeader& response);
    // The security fields of the request's scheme.
    const std::shared_ptr<const FieldList>& siteFieldsFor(const KoXHeader& request) const;

    KoTransceiver& transceiver;
    KoRouterServices& services;
    const KoRouterConfig config;
    const KoHTTPSettings settings;
    KoCgiRunner runner;
    KoBoundedWorkQueue handlers;
    KoPhpPool php;
    KoScriptStreams scripts;
    // The security fields every answer gets (names in lower case), over
    // plain HTTP and over TLS.
    const std::shared_ptr<const FieldList> plainFields;
    const std::shared_ptr<const FieldList> tlsFields;
};
