#include "server/routing/router.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "html/html_error_msg404.h"
#include "message/http_tables.h"
#include "message/response_header.h"
#include "message/transceiver.h"
#include "platform/file_system.h"
#include "server/files/file_answer.h"
#include "server/files/file_cache.h"
#include "server/files/file_encoding.h"
#include "server/http/client_certificate_values.h"
#include "server/http/http_answer.h"
#include "server/http/http_date.h"
#include "server/http/request_path.h"
#include "server/routing/error_pages.h"
#include "server/routing/request_guard.h"
#include "server/routing/route_result.h"
#include "server/routing/site_rules.h"
#include "server/scripts/cgi_output.h"

namespace {

// What the calling thread (a connection's loop) knows of the files it
// serves: a page answered again and again costs no system call to find.
KoFileCache& files() { return KoFileCache::forThisThread(); }

// Whether the client asks about the version it holds: such a request is
// answered from the file as it is now, never from what the cache knew a
// moment ago (a wrong 304 would keep a changed file from the client).
bool AsksAboutItsCopy(const KoXHeader& request) {
    // One walk over the request's few fields (names in lower case), not a
    // lookup of each name.
    static constexpr std::string_view names[] = {"if-none-match", "if-modified-since", "if-match",
                                                 "if-unmodified-since", "if-range"};
    for (const auto& field : request.fields) {
        const std::string& name = field.first;
        if (name.size() < 8 || name[0] != 'i' || name[1] != 'f' || name[2] != '-') continue;
        if (std::find(std::begin(names), std::end(names), name) != std::end(names)) return true;
    }
    return false;
}

bool EndsWith(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string DirectoryOf(const std::string& file) {
    const std::size_t slash = file.rfind(platform::pathSeparator);
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

std::string Value(const KoStringMap& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

// Asked of every request: names made once, values read where they lie.
const std::string kHostField = "host";
const std::string kLocalAddress = description_key::localaddress;

std::string_view FirstValueView(const KoXHeader& request, const std::string& name) {
    const auto it = request.fields.find(name);
    return it == request.fields.end() || it->second.empty() ? std::string_view() : std::string_view(it->second.front());
}

std::string_view ValueView(const KoStringMap& map, const std::string& key) {
    const auto it = map.find(key);
    return it == map.end() ? std::string_view() : std::string_view(it->second);
}

// A request that would act, sent by a page of another site.
bool CrossSite(const KoXHeader& request, const KoSiteRules& rules) {
    if (!KoMethodActs(request.methodCode.load())) return false;
    const std::string fetchSite = request.FirstValue("sec-fetch-site");
    const std::string origin = request.FirstValue("origin");
    const std::string referer = request.FirstValue("referer");
    const char* scheme = request.ProtocolCode() == protocol::HTTPS ? "https" : "http";
    return KoIsCrossSite({fetchSite, origin, referer}, scheme, request.FirstValue("host"), rules);
}

// The security fields, names in lower case as response fields are kept.
KoRequestRouter::FieldList SecurityFieldsOf(const KoSiteRules& rules, bool https) {
    KoRequestRouter::FieldList fields = KoSecurityFieldLines(rules.fields, https);
    for (auto& [name, value] : fields) {
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    }
    return fields;
}

}  // namespace

KoRequestRouter::KoRequestRouter(KoTransceiver& transceiver_, KoRouterServices& services_, KoRouterConfig config_,
                                 KoHTTPSettings settings_)
    : transceiver(transceiver_),
      services(services_),
      config(std::move(config_)),
      settings(std::move(settings_)),
      runner(transceiver_.Scheduler(), settings),
      handlers(transceiver_.Scheduler(), settings.handlerConcurrency, "KoHostHandler"),
      php(transceiver_.Scheduler(), config.phpBinary, platform::absolutePath(config.documentRoot), settings),
      plainFields(std::make_shared<const FieldList>(SecurityFieldsOf(settings.site, false))),
      tlsFields(std::make_shared<const FieldList>(SecurityFieldsOf(settings.site, true))) {}

KoRequestRouter::~KoRequestRouter() { stop(); }

void KoRequestRouter::stop() {
    // Runs that wait for a client end first, so that the pool and the runner
    // need not wait for them.
    scripts.stopAll();
    handlers.stop();
    php.stop();
    runner.stop();
}

int KoRequestRouter::route(const std::string&, std::shared_ptr<KoXHeader> request) {
    if (!request) return 0;
    const std::int32_t code = request->ProtocolCode();
    if (code == protocol::DirectSocket) return 1;
    if (code == protocol::VELKO) return send(*request, answerFor(*request, 404));
    if (code != protocol::HTTP && code != protocol::HTTPS) return 0;
    if (const std::int32_t status = KoHostRuleStatus(*request); status != 0) {
        // What else the client sent cannot be trusted to be framed right.
        request->closeAfter = true;
        auto response = answerFor(*request, status);
        KoSetTextBody(*response);
        return send(*request, response);
    }
    // A name pointed at this machine by another site (DNS rebinding) must
    // not let that site's pages read the answers.
    if (!KoHostAllowed(FirstValueView(*request, kHostField), ValueView(request->description, kLocalAddress),
                       settings.site)) {
        auto response = answerFor(*request, 421);
        KoSetTextBody(*response);
        return send(*request, response);
    }
    if (settings.guard) {
        auto response = answerFor(*request, 200);
        if (settings.guard->refuse(*request, *response)) return send(*request, response);
    }
    return settings.hook ? routeAfterHook(request) : routeAdmitted(request);
}

int KoRequestRouter::routeAdmitted(const std::shared_ptr<KoXHeader>& request) {
    const std::int32_t method = request->methodCode.load();
    if (method == method_code::OPTIONS && request->path == "*") {
        // The server as a whole: every method some resource takes.
        auto response = answerFor(*request, 204);
        KoMethodAnswer(204, KoResourceKind::script, *response);
        return send(*request, response);
    }
    // Commands take the methods that carry their fields.
    if (method == method_code::GET || method == method_code::HEAD || method == method_code::POST) {
        const int commanded = routeCommand(request);
        if (commanded != 0) return commanded;
    }
    // Every later decision is taken on this one normalised path.
    const std::optional<std::string> normal = KoNormaliseRequestPath(request->path);
    const int hosted = routeHost(request, normal);
    if (hosted != 0) return hosted;
    const int filed = routeFile(request, normal);
    if (filed != 0) return filed;
    return send404(*request);
}

std::shared_ptr<KoXResponseHeader> KoRequestRouter::answerFor(const KoXHeader& request, std::int32_t status) {
    auto response = request.MakeAnswer();
    response->statusCode = status;
    response->closeAfter = request.closeAfter;
    response->connectionName = request.connectionName;
    // Not the layer's name: an answer goes back through its request's sink,
    // and nothing reads that name of an answer (copying it cost a string).
    return response;
}

int KoRequestRouter::send(const KoXHeader& request, const std::shared_ptr<KoXResponseHeader>& response) {
    if (settings.errorPages && KoIsOwnErrorAnswer(*response)) settings.errorPages->fill(request, *response);
    response->setState(header_state::Complete);
    // Written with the head where the answer names none of them; a file's
    // answer has them already, after its own.
    if (!response->defaultFields) response->defaultFields = siteFieldsFor(request);
    // The request's connection takes it on its own loop, from any thread;
    // without one (the connection is gone) nobody waits for it.
    if (auto sink = response->answerSink.lock()) sink->answer(response);
    return 1;
}

const std::shared_ptr<const KoRequestRouter::FieldList>& KoRequestRouter::siteFieldsFor(const KoXHeader& request) const {
    return request.ProtocolCode() == protocol::HTTPS ? tlsFields : plainFields;
}

int KoRequestRouter::sendFailure(const KoXHeader& request, const std::string& file, platform::Error why) {
    // The file is there but the server cannot use it: not the client's fault.
    diagnostic("cannot serve " + escapeForLog(file) + ": " +
               (why.ok() ? std::string("it could not be opened") : why.text()));
    return send(request, answerFor(request, why.outOfDescriptors() ? 503 : 500));
}

void KoRequestRouter::fill404(KoXResponseHeader& response) {
    response.statusCode = 404;
    KoHTML_ErrorMsg404 page(k404Title, k404BodyMarkup, k404LinkHref, k404LinkText);
    const std::string markup = page.markup();
    response.Input().sputn(markup.data(), static_cast<std::streamsize>(markup.size()));
    // The page is the server's own text: plain ASCII.
    response.fields["content-type"] = {"text/html; charset=utf-8"};
}

int KoRequestRouter::send404(const KoXHeader& request) {
    auto response = answerFor(request, 404);
    fill404(*response);
    return send(request, response);
}

void KoRequestRouter::completeAnswer(const KoXHeader& request, const std::shared_ptr<KoXResponseHeader>& response) {
    // The request's answer sink takes it to the connection's loop, which
    // writes it and goes on with the connection.
    send(request, response);
}

int KoRequestRouter::answerLater(const std::shared_ptr<KoXHeader>& request, Work work) {
    const bool queued = handlers.submit([this, request, work = std::move(work)] {
        auto response = answerFor(*request, 200);
        try {
            work(*request, *response);
        } catch (const std::exception& error) {
            diagnostic("handler for " + escapeForLog(request->path) + " failed: " + escapeForLog(error.what()));
            response = answerFor(*request, 500);
            KoSetTextBody(*response);
        } catch (...) {
            diagnostic("handler for " + escapeForLog(request->path) + " failed");
            response = answerFor(*request, 500);
            KoSetTextBody(*response);
        }
        // A streamed body is made once its answer is on its way.
        std::function<void()> next = std::move(response->afterAnswered);
        completeAnswer(*request, response);
        response.reset();
        if (next) next();
    });
    return queued ? kAnswerPending : 0;
}

int KoRequestRouter::sendMethodAnswer(const KoXHeader& request, std::int32_t status, KoResourceKind kind) {
    auto response = answerFor(request, status);
    KoMethodAnswer(status, kind, *response);
    return send(request, response);
}

int KoRequestRouter::sendFile(const KoXHeader& request, std::string file, const platform::FileInfo& known,
                              KoFileCache::Found found) {
    KoFileCache& cache = files();
    platform::FileInfo info = known;
    const bool asksAboutItsCopy = AsksAboutItsCopy(request);
    if (asksAboutItsCopy) {
        found = cache.lookup(file, true);
        const auto now = cache.status(file, found);
        if (!now.ok() && now.error().notFound()) return send404(request);
        if (!now.ok()) return sendFailure(request, file, now.error());
        if (!now.value().regular) return send404(request);
        info = now.value();
    }
    auto response = answerFor(request, 200);
    const KoFileFacts facts{cache.mediaType(file, found), info.size, info.modifiedSeconds, info.modifiedNanoseconds,
                            info.fileId};
    KoFileAnswerOptions options;
    options.cacheControl = settings.cacheControl;
    options.now = KoSecondsNow();
    options.mayHavePreconditions = asksAboutItsCopy;
    options.siteFields = &siteFieldsFor(request);
    const bool compressible = cache.compressibleType(file, found);
    KoFileBody body = KoPrepareFileVariant(request, std::move(file), facts, options, settings.compression, cache,
                                           {asksAboutItsCopy, &config.cgiDirectory, &found, &compressible}, *response);
    if (body.file.empty()) return send(request, response);
    // Opened before anything is announced; the answer carries it to the
    // layer, which sends it without looking the name up again.
    const auto opened = cache.open(body.file, found);
    if (!opened.ok()) {
        if (opened.error().notFound()) return send404(request);
        return sendFailure(request, body.file, opened.error());
    }
    if (!opened.value()->identity.regular) return send404(request);
    response->bodyFile = std::move(body.file);
    response->bodyOpenFile = opened.value();
    response->bodyFileSize = static_cast<std::int64_t>(body.size);
    return send(request, response);
}

int KoRequestRouter::sendRefusedForm(const KoXHeader& request, std::int32_t status) {
    auto response = answerFor(request, status);
    KoSetTextBody(*response);
    return send(request, response);
}

int KoRequestRouter::routeCommand(const std::shared_ptr<KoXHeader>& request) {
    // HEAD never acts, GET only where the host lets a link run commands.
    if (!KoMethodMayCommand(request->methodCode.load(), settings.site)) return 0;
    // The form is read only where a command could answer: a body that
    // nobody asks for costs no form, and a static file answers without one.
    const bool atCommandUrl = !config.commandUrl.empty() && request->path == config.commandUrl;
    if (!atCommandUrl && !services.hasCommands()) return 0;
    // Bounded (KoMessageLimits): on the loop it costs at most one pass over
    // the body and maxFormFields blocks.
    if (const std::int32_t refused = request->FormStatus(); refused != 0) return sendRefusedForm(*request, refused);
    KoHTTPMessageBlock* idField = request->Field(std::string("velkoid"));
    const std::string id = idField == nullptr ? std::string() : idField->Text();
    if (!id.empty()) {
        KoHTTPMessageBlock* commandField = request->Field(std::string("velkocommand"));
        const std::string command = commandField == nullptr ? std::string() : commandField->Text();
        if (services.hasHandler(id) && CrossSite(*request, settings.site)) return sendRefusedForm(*request, 403);
        if (services.handlerMayBlock(id)) {
            return answerLater(request, [this, id, command](KoXHeader& asked, KoXResponseHeader& response) {
                // Unregistered while it waited.
                if (!services.forwardToHandler(id, asked, response, command)) fill404(response);
            });
        }
        auto response = answerFor(*request, 200);
        // An identifier nobody registered goes on to the file route.
        if (!services.forwardToHandler(id, *request, *response, command)) return 0;
        // A failed command is answered too; the client must not wait.
        return send(*request, response);
    }
    if (config.commandUrl.empty() || request->path != config.commandUrl) return 0;
    std::unique_ptr<KoApplicationHandler> handler = services.createHandler(id);
    if (!handler) return 0;
    if (CrossSite(*request, settings.site)) return sendRefusedForm(*request, 403);
    auto response = answerFor(*request, 200);
    handler->message(*request, *response, "&new");
    return send(*request, response);
}

bool KoRequestRouter::crossSite(const KoXHeader& request) const { return CrossSite(request, settings.site); }

int KoRequestRouter::routeHost(const std::shared_ptr<KoXHeader>& request, const std::optional<std::string>& path) {
    if (!path) return 0;
    std::shared_ptr<KoApplicationHandler> handler =
        services.routeHandler(MethodTokenOf(request->methodCode.load()), *path);
    if (!handler) return sendRouteMethods(*request, *path);
    if (CrossSite(*request, settings.site)) return sendRefusedForm(*request, 403);
    if (handler->readsBodyAsItComes()) {
        // Neither form nor body: they are still being read on the loop.
        return answerLater(request, [handler](KoXHeader& asked, KoXResponseHeader& response) {
            handler->message(asked, response, "");
        });
    }
    if (handler->mayBlock()) {
        return answerLater(request, [handler](KoXHeader& asked, KoXResponseHeader& response) {
            // Read here, off the loop, where the handler's own thread pays for it.
            if (const std::int32_t refused = asked.FormStatus(); refused != 0) {
                response.statusCode = refused;
                KoSetTextBody(response);
                return;
            }
            handler->message(asked, response, "");
        });
    }
    if (const std::int32_t refused = request->FormStatus(); refused != 0) return sendRefusedForm(*request, refused);
    auto response = answerFor(*request, 200);
    handler->message(*request, *response, "");
    return send(*request, response);
}

KoPathDecision KoRequestRouter::decide(const std::string& path) { return decideNormal(KoNormaliseRequestPath(path)); }

KoPathDecision KoRequestRouter::decideNormal(const std::optional<std::string>& normal) {
    KoPathDecision decision;
    if (!normal || config.documentRoot.empty()) return decision;
    KoFileCache& cache = files();
    decision.decoded = *normal;
    const std::string rest = normal->substr(1);
    if (!rest.empty() && services.storeHas(rest)) {
        decision.kind = KoPathDecision::Kind::store;
        return decision;
    }
    if (rest.rfind(cgiPrefix, 0) == 0) {
        decision.file = config.cgiDirectory + rest.substr(std::string_view(cgiPrefix).size());
        auto status = cache.status(decision.file);
        if (!status.ok()) return failedOrMissing(std::move(decision), status.error());
        decision.kind = status.value().regular ? KoPathDecision::Kind::program : KoPathDecision::Kind::missing;
        return decision;
    }
    std::string file;
    // Made at its length at once (a sum of the two grows it twice).
    file.reserve(config.documentRoot.size() + rest.size());
    file.append(config.documentRoot).append(rest);
    decision.found = cache.lookup(file);
    auto status = cache.status(file, decision.found);
    if (!status.ok()) {
        decision.file = std::move(file);
        return failedOrMissing(std::move(decision), status.error());
    }
    const platform::FileInfo& info = status.value();
    if (info.directory) {
        if (!rest.empty() && rest.back() != '/') {
            decision.kind = KoPathDecision::Kind::redirect;
            return decision;
        }
        for (const char* index : {"index.php", "index.html"}) {
            decision.file = file + index;
            decision.found = cache.lookup(decision.file);
            auto found = cache.status(decision.file, decision.found);
            if (!found.ok() && !found.error().notFound()) return failedOrMissing(std::move(decision), found.error());
            if (found.ok() && found.value().regular) {
                decision.info = found.value();
                decision.kind = EndsWith(decision.file, scriptSuffix) ? KoPathDecision::Kind::script
                                                                      : KoPathDecision::Kind::file;
                return outsideCgi(std::move(decision));
            }
        }
        decision.file.clear();
        decision.kind = KoPathDecision::Kind::missing;
        return decision;
    }
    decision.file = std::move(file);
    decision.info = info;
    if (!info.regular) {
        decision.kind = KoPathDecision::Kind::missing;
    } else if (rest.size() > std::string_view(scriptSuffix).size() && EndsWith(rest, scriptSuffix)) {
        decision.kind = KoPathDecision::Kind::script;
    } else {
        decision.kind = KoPathDecision::Kind::file;
    }
    return outsideCgi(std::move(decision));
}

KoPathDecision KoRequestRouter::failedOrMissing(KoPathDecision decision, platform::Error error) {
    decision.kind = error.notFound() ? KoPathDecision::Kind::missing : KoPathDecision::Kind::failed;
    decision.error = error;
    return decision;
}

KoPathDecision KoRequestRouter::outsideCgi(KoPathDecision decision) const {
    // Whatever path led here (a link, another spelling, a file system that
    // ignores case), a program is only ever run, never shown or interpreted.
    if (!config.cgiDirectory.empty() && files().locatedIn(decision.file, decision.found, config.cgiDirectory)) {
        decision.kind = KoPathDecision::Kind::refuse;
        decision.file.clear();
    }
    return decision;
}

int KoRequestRouter::routeFile(const std::shared_ptr<KoXHeader>& request, const std::optional<std::string>& normal) {
    if (request->messageKind.load() != message_kind::Request || config.documentRoot.empty()) return 0;
    const std::int32_t method = request->methodCode.load();
    KoPathDecision decision = decideNormal(normal);
    switch (decision.kind) {
    case KoPathDecision::Kind::refuse:
    case KoPathDecision::Kind::missing:
    case KoPathDecision::Kind::index:
        return 0;
    case KoPathDecision::Kind::failed:
        return sendFailure(*request, decision.file, decision.error);
    case KoPathDecision::Kind::redirect: {
        // The normalised path: "//x" must not become a link to the host "x".
        auto response = answerFor(*request, 301);
        response->location = KoEncodeRequestPath(decision.decoded) + "/";
        return send(*request, response);
    }
    case KoPathDecision::Kind::store:
        if (const std::int32_t status = KoMethodStatus(method, KoResourceKind::store); status != 0) {
            return sendMethodAnswer(*request, status, KoResourceKind::store);
        } else {
            auto response = answerFor(*request, 200);
            services.storeLookup(decision.decoded.substr(1), *response);
            // A value a visitor set must not be taken for a page with scripts.
            if (response->fields.count("content-type") == 0) response->fields["content-type"] = {kPlainTextType};
            response->fields["x-content-type-options"] = {"nosniff"};
            return send(*request, response);
        }
    case KoPathDecision::Kind::program:
    case KoPathDecision::Kind::script:
        if (const std::int32_t status = KoMethodStatus(method, KoResourceKind::script); status != 0) {
            return sendMethodAnswer(*request, status, KoResourceKind::script);
        }
        if (decision.kind == KoPathDecision::Kind::program) {
            return runProgram(decision.file, request) ? kAnswerPending : 0;
        }
        return runScript(decision.file, request) ? kAnswerPending : 0;
    case KoPathDecision::Kind::file:
        return sendFile(*request, std::move(decision.file), decision.info, decision.found);
    }
    return 0;
}

bool KoRequestRouter::runScript(const std::string& scriptPath, std::shared_ptr<KoXHeader> request) {
    if (!settings.php.enabled) return runChildFor(config.phpBinary, scriptPath, std::move(request));
    std::string file = scriptPath;
    KoCgiEnvironment environment;
    if (!scriptEnvironment(file, *request, environment)) return false;
    // A spilled body is sent from its file.
    std::shared_ptr<const platform::TemporaryFile> spooled = request->BodySpool();
    std::string body = spooled ? std::string() : request->Body();
    return php.submit(environmentEntries(environment), std::move(body), scriptAnswer(request, file),
                      std::move(spooled));
}

bool KoRequestRouter::runProgram(const std::string& programPath, std::shared_ptr<KoXHeader> request) {
    return runChildFor(programPath, programPath, std::move(request));
}

bool KoRequestRouter::scriptEnvironment(std::string& file, const KoXHeader& request, KoCgiEnvironment& environment) {
    auto info = platform::fileInfo(file);
    if (!info || !info->regular) return false;
    // The child runs in the script's directory, so a path relative to the
    // server's own directory would name nothing there.
    file = platform::absolutePath(file);
    if (file.empty()) return false;
    environment["REDIRECT_STATUS"] = "CGI";
    environment["SCRIPT_FILENAME"] = file;
    if (!buildEnvironment(request, environment)) return false;
    KoCgiContext context;
    context.documentRoot = platform::absolutePath(config.documentRoot);
    context.scriptName = KoNormaliseRequestPath(request.path).value_or(percentDecode(request.path));
    context.scriptFilename = file;
    context.serverName = Value(request.description, "localaddress");
    context.serverPort = Value(request.description, "localport");
    context.remoteAddr = Value(request.description, "remoteaddress");
    context.remotePort = Value(request.description, "remoteport");
    addGatewayVariables(request, context, environment);
    KoAddClientCertificateVariables(request.description, environment);
    if (const std::string user = Value(request.description, kRemoteUserKey); !user.empty()) {
        environment["REMOTE_USER"] = user;
        environment["AUTH_TYPE"] = Value(request.description, kAuthTypeKey);
        // The server checked the password; the program needs no copy of it.
        environment.erase("HTTP_AUTHORIZATION");
    }
    return true;
}

bool KoRequestRouter::runChildFor(const std::string& program, const std::string& relativeFile,
                                  std::shared_ptr<KoXHeader> request) {
    std::string file = relativeFile;
    KoCgiEnvironment environment;
    if (!scriptEnvironment(file, *request, environment)) return false;
    platform::ChildOptions options;
    options.program = program == relativeFile ? file : program;
    options.environment = environmentEntries(environment);
    options.workingDirectory = DirectoryOf(file);
    // A spilled body is the child's standard input as it lies in its file.
    std::shared_ptr<const platform::TemporaryFile> spooled = request->BodySpool();
    std::string input = spooled ? std::string() : request->Body();
    return runner.submit(std::move(options), std::move(input), scriptAnswer(request, file), std::move(spooled));
}

std::shared_ptr<KoScriptStream> KoRequestRouter::scriptAnswer(const std::shared_ptr<KoXHeader>& request,
                                                              const std::string& file) {
    KoScriptStream::Limits limits;
    limits.headerLimit = settings.cgiHeaderLimit;
    limits.bound = std::max<std::size_t>(1, std::min(settings.outputBound, settings.cgiOutputLimit));
    limits.pauseMs = static_cast<int>(settings.cgiStreamAfter.count());
    limits.compression = settings.answerCompression;
    auto stream = std::make_shared<KoScriptStream>(
        answerFor(*request, 200), file, limits,
        [this, request](std::shared_ptr<KoXResponseHeader> response) { completeAnswer(*request, response); });
    scripts.add(stream);
    return stream;
}
