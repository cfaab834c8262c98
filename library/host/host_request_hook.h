// Host interface: KoHostRequestHook, a host's velko::RequestHook as the
// router's KoRequestHook: the request as a handler sees it goes to the
// host's function; an Answer is written into the response (as a handler's
// is), and a user it set is recorded for handlers and CGI programs.
//
// Ownership: holds a copy of the host's function. Threads: several calls at
// once, as the function must allow. Failures: what the function throws, and
// those of KoFillAnswer (host_handler.h); the router answers 500.
#pragma once

#include <memory>

#include "server/routing/request_hook.h"
#include "velkotwo/server.h"

class KoHostRequestHook : public KoRequestHook {
public:
    explicit KoHostRequestHook(velko::RequestHook hook);
    bool answer(KoXHeader& request, KoXResponseHeader& response) override;

private:
    const velko::RequestHook hook;
};

// Null for an empty function.
std::shared_ptr<KoRequestHook> KoHostRequestHookFor(const velko::RequestHook& hook);
