#include "host/host_request_hook.h"

#include <utility>

#include "host/host_handler.h"
#include "message/x_header.h"
#include "server/routing/request_guard.h"

KoHostRequestHook::KoHostRequestHook(velko::RequestHook hook_) : hook(std::move(hook_)) {}

bool KoHostRequestHook::answer(KoXHeader& request, KoXResponseHeader& response) {
    // A form the hook may look at; one that cannot be read is refused later
    // where it matters (commands, routes).
    request.FormStatus();
    velko::Request host = KoHostRequestOf(request, "");
    const std::string before = host.user;
    velko::Answer answer;
    if (hook(host, answer)) {
        KoFillAnswer(answer, response, &request);
        return true;
    }
    if (host.user != before) request.description[kRemoteUserKey] = host.user;
    return false;
}

std::shared_ptr<KoRequestHook> KoHostRequestHookFor(const velko::RequestHook& hook) {
    if (!hook) return nullptr;
    return std::make_shared<KoHostRequestHook>(hook);
}
