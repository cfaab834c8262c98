// Server stack: KoBodyPlan, what a request's body is for, decided at the end
// of its header (before any body byte is read) by the router that will
// answer it (KoRequestRouter::planBody). The HTTP layer keeps the body
// accordingly and answers "Expect: 100-continue" only for a request the plan
// accepts.
#pragma once

#include <functional>

#include "message/x_header.h"

struct KoBodyPlan {
    enum class Use {
        keep,     // read by a form or a handler below its bounds: in memory
        spool,    // for a script or a handler: to a file past the memory bound
        stream,   // for an upload route: to its handler as it arrives
        discard,  // accepted, but nothing reads it (a file, a stored value)
        refuse,   // answered without it (404, 405, 400 of the Host rules ...)
    };
    Use use = Use::keep;

    bool accepted() const { return use != Use::refuse; }
};

// Asked on the connection's loop at a request's header end; it must not block.
using KoBodyPlanner = std::function<KoBodyPlan(const KoXHeader& request)>;
