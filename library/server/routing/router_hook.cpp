// The router's hop to the host's request hook and back.
#include <exception>
#include <memory>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "message/event_loop.h"
#include "message/response_header.h"
#include "message/x_header.h"
#include "server/http/http_answer.h"
#include "server/routing/route_result.h"
#include "server/routing/router.h"

bool KoRequestRouter::askHook(KoXHeader& request, std::shared_ptr<KoXResponseHeader>& response) {
    try {
        return settings.hook->answer(request, *response);
    } catch (const std::exception& error) {
        diagnostic("request hook for " + escapeForLog(request.path) + " failed: " + escapeForLog(error.what()));
    } catch (...) {
        diagnostic("request hook for " + escapeForLog(request.path) + " failed");
    }
    response = answerFor(request, 500);
    KoSetTextBody(*response);
    return true;
}

int KoRequestRouter::routeAfterHook(const std::shared_ptr<KoXHeader>& request) {
    KoEventLoop* loop = KoEventLoop::current();
    std::weak_ptr<KoRequestRouter> self = weak_from_this();
    if (loop == nullptr || self.expired()) {
        // No loop to come back to: the hook runs here.
        auto response = answerFor(*request, 200);
        if (askHook(*request, response)) return send(*request, response);
        return routeAdmitted(request);
    }
    // The loop outlives the queue: the application stops its routers
    // before the transceiver, whose loops they are, goes.
    const bool queued = handlers.submit([this, loop, self, request] {
        auto response = answerFor(*request, 200);
        if (askHook(*request, response)) {
            completeAnswer(*request, response);
            return;
        }
        // Files are opened in the loop's cache and answers written there.
        loop->post([self, request] {
            auto router = self.lock();
            if (!router) return;  // the server is going; so is the connection
            int answered = 0;
            try {
                answered = router->routeAdmitted(request);
            } catch (const std::exception& error) {
                diagnostic(std::string("request failed: ") + escapeForLog(error.what()));
            }
            if (answered == 0) router->completeAnswer(*request, router->answerFor(*request, 500));
        });
    });
    return queued ? kAnswerPending : 0;
}
