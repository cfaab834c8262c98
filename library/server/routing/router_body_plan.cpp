// KoRequestRouter::planBody: the body's use, decided the way route() will
// answer, before the body is read.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "message/http_tables.h"
#include "server/http/request_path.h"
#include "server/http/request_rules.h"
#include "server/routing/site_rules.h"
#include "server/routing/router.h"

namespace {

bool StartsWithIgnoringCase(const std::string& text, const std::string& start) {
    return text.size() >= start.size() &&
           std::equal(start.begin(), start.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

KoBodyPlan PlanOf(KoBodyPlan::Use use) {
    KoBodyPlan plan;
    plan.use = use;
    return plan;
}

// The use of a body for a resource of kind that takes method with use: an
// OPTIONS answer needs no body, another method is refused (405).
KoBodyPlan ForMethod(std::int32_t method, KoResourceKind kind, KoBodyPlan::Use use) {
    const std::int32_t status = KoMethodStatus(method, kind);
    if (status == 0) return PlanOf(use);
    return PlanOf(method == method_code::OPTIONS ? KoBodyPlan::Use::discard : KoBodyPlan::Use::refuse);
}

}  // namespace

bool KoRequestRouter::commandMayRead(const KoXHeader& request) {
    const std::int32_t method = request.methodCode.load();
    if (method != method_code::GET && method != method_code::HEAD && method != method_code::POST) return false;
    // A new handler at the command URL is handed the whole request.
    if (!config.commandUrl.empty() && request.path == config.commandUrl) return true;
    if (!services.hasCommands()) return false;
    // A command is chosen by the form's "velkoid": in the query, or in a
    // body that is a form.
    if (request.query.find("velkoid") != std::string::npos) return true;
    const std::string type = request.FirstValue("content-type");
    return StartsWithIgnoringCase(type, "application/x-www-form-urlencoded") ||
           StartsWithIgnoringCase(type, "multipart/form-data");
}

KoBodyPlan KoRequestRouter::planBody(const KoXHeader& request) {
    using Use = KoBodyPlan::Use;
    const std::int32_t code = request.ProtocolCode();
    // A VELKO request is answered 404 whatever it carries.
    if (code == protocol::VELKO) return PlanOf(Use::refuse);
    if (code != protocol::HTTP && code != protocol::HTTPS) return PlanOf(Use::keep);
    if (KoHostRuleStatus(request) != 0) return PlanOf(Use::refuse);
    // Refused whatever the body holds: the rebinding rule and the access rules.
    const auto local = request.description.find(description_key::localaddress);
    if (!KoHostAllowed(request.FirstValue("host"), local == request.description.end() ? "" : local->second,
                       settings.site)) {
        return PlanOf(Use::refuse);
    }
    if (settings.guard && !settings.guard->mayAdmit(request)) return PlanOf(Use::refuse);
    const std::int32_t method = request.methodCode.load();
    if (method == method_code::OPTIONS && request.path == "*") return PlanOf(Use::discard);
    if (commandMayRead(request)) return PlanOf(Use::keep);
    if (const std::optional<std::string> path = KoNormaliseRequestPath(request.path)) {
        if (const auto handler = services.routeHandler(MethodTokenOf(method), *path)) {
            if (!handler->readsBodyAsItComes()) return PlanOf(Use::spool);
            // Its handler is called before the body comes: one that will be
            // refused gets no "100 Continue" and no handler.
            return PlanOf(crossSite(request) ? Use::refuse : Use::stream);
        }
        // Answered 405, or 204 for OPTIONS, by the routes' methods.
        if (!services.routeMethods(MethodTokenOf(method), *path).empty()) {
            return PlanOf(method == method_code::OPTIONS ? Use::discard : Use::refuse);
        }
    }
    if (request.messageKind.load() != message_kind::Request || config.documentRoot.empty()) {
        return PlanOf(Use::refuse);
    }
    const KoPathDecision decision = decide(request.path);
    switch (decision.kind) {
    case KoPathDecision::Kind::store:
        return ForMethod(method, KoResourceKind::store, Use::discard);
    case KoPathDecision::Kind::program:
    case KoPathDecision::Kind::script:
        return ForMethod(method, KoResourceKind::script, Use::spool);
    case KoPathDecision::Kind::file:
        return ForMethod(method, KoResourceKind::file, Use::discard);
    case KoPathDecision::Kind::refuse:
    case KoPathDecision::Kind::missing:
    case KoPathDecision::Kind::index:
    case KoPathDecision::Kind::redirect:
    case KoPathDecision::Kind::failed:
        break;
    }
    return PlanOf(Use::refuse);
}
