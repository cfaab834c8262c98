// Server stack: KoRequestHook, the host's own check of every request, asked
// by the router after its guard (address rules, passwords) and before
// anything routes the request. It may block: the router runs it on its
// handler queue and goes on routing on the request's loop afterwards. A
// hook that lets the request on may record a user in its description
// (kRemoteUserKey, request_guard.h).
//
// Ownership: shared by the routers of one application. Threads: called
// from the handler queue's workers, several at once. Failures: an exception
// is answered 500 with a line on standard error.
#pragma once

class KoXHeader;
class KoXResponseHeader;

class KoRequestHook {
public:
    virtual ~KoRequestHook() = default;
    // True when response now holds the answer; false lets the request on.
    virtual bool answer(KoXHeader& request, KoXResponseHeader& response) = 0;
};
