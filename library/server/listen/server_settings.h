// Server stack: the timing constants and limits of a server and its
// listener, as one settings record given at construction. The defaults are
// the system's; tests shorten them.
#pragma once

#include <chrono>
#include <cstddef>

#include "net/host_info.h"

struct KoServerSettings {
    // Inactivity after which a connecting server expires (listening servers
    // never do).
    std::chrono::microseconds inactivityTimeout{120'000'000};
    // Pause between bind attempts while the port is taken, waited in steps
    // so that a stop is seen within one step.
    std::chrono::milliseconds bindRetryInterval{30'000};
    std::chrono::milliseconds bindRetryStep{500};
    // Longest wait of one accept pass; a stop is seen within it.
    int acceptWaitMs = 500;
    // Pause after an accept that failed although a peer was waiting (out of
    // descriptors), so the listener does not spin while the condition lasts.
    std::chrono::milliseconds acceptFailurePause{50};
    // How often teardown asks the scheduler whether a job has ended.
    std::chrono::milliseconds teardownPoll{50};
    // Connections the system completes before the listener takes them. A
    // queue of 16 overflows under a burst of connects, and the peers whose
    // handshake was dropped are lost or wait for retransmissions.
    int backlog = 511;
    // Open connections per listener; at the limit the longest-idle one
    // without a request in progress is closed to make room for a new one.
    // 0: three quarters of the process's descriptor limit.
    std::size_t maxConnections = 0;
    // Decides at accept, before any TLS handshake, whether a peer is served;
    // empty: every peer is.
    KoHostFilter admit;
};
