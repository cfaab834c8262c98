// Server stack: the limits of script runs - CGI programs, and PHP scripts in
// the pool of php-cgi processes or run as CGI - as one settings record given
// at construction to the CGI runner and the PHP pool; the HTTP settings
// (KoHTTPSettings) carry it for the router that makes them. The defaults are
// the system's; tests shorten them.
#pragma once

#include <chrono>
#include <cstddef>

#include "server/scripts/cgi_output.h"

// PHP scripts run in a pool of persistent php-cgi processes spoken to over
// FastCGI.
struct KoPhpPoolSettings {
    // false: every PHP request starts a php-cgi of its own, as CGI programs do.
    bool enabled = true;
    // php-cgi processes; 0: one per core, at least 2.
    std::size_t processes = 0;
    // Requests that wait for a free process; more are answered 503.
    std::size_t queueLimit = 64;
    // Requests a process serves before a fresh one replaces it (0: no limit).
    // A replacement costs a php-cgi start (about 15 ms of processor time), so
    // a small count shows in the latency of every request around it.
    std::size_t maxRequests = 10000;
    // A process that keeps failing to start or to answer is restarted after
    // this pause, doubled with every further failure up to the limit; in the
    // meantime its requests are answered 502 at once.
    std::chrono::milliseconds restartBackoff{100};
    std::chrono::milliseconds restartBackoffLimit{5'000};
};

struct KoScriptSettings {
    // A CGI child or a PHP request still running after this long is killed
    // (answered 504).
    std::chrono::milliseconds cgiTimeout{30'000};
    // Bytes of a CGI or PHP answer's body held at once, waiting for the
    // client (at most outputBound too); the script waits for room. Output
    // itself has no limit.
    std::size_t cgiOutputLimit = 64u * 1024 * 1024;
    // A script answer whose output pauses this long after its header block
    // (or that outgrows what may be held) goes out as it comes, with its
    // length unknown; one that ends sooner is sent whole with its length.
    std::chrono::milliseconds cgiStreamAfter{100};
    // A CGI header block past this many bytes is malformed (answered 502).
    std::size_t cgiHeaderLimit = KoCgiOutputParser::kDefaultHeaderLimit;
    // CGI runs at once; further runs wait their turn.
    std::size_t cgiConcurrency = 8;
    // CGI runs that wait for their turn; more are answered 503.
    std::size_t cgiQueueLimit = 64;
    // How often a running script looks whether its client is still there,
    // from this long after it began (a run whose client has gone is ended;
    // one that waited for its turn is looked at before it starts).
    std::chrono::milliseconds clientCheck{1'000};
    KoPhpPoolSettings php;
};
