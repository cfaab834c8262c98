// Server stack: the timing constants and limits of the HTTP layer, its
// router and CGI runs, as one settings record given at construction. The
// defaults are the system's; tests shorten them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "message/message_limits.h"
#include "server/files/file_encoding.h"
#include "server/http/answer_compression.h"
#include "server/listen/server_settings.h"
#include "server/routing/error_pages.h"
#include "server/routing/request_guard.h"
#include "server/routing/request_hook.h"
#include "server/routing/site_rules.h"
#include "server/scripts/cgi_output.h"

// Takes the access log: one line (without its line break) per answer, on
// the loop that wrote the answer. It must not throw.
using KoAccessLogSink = std::function<void(std::string_view line)>;

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

// HTTP/2 on the TLS port (ALPN "h2"), where the build has nghttp2.
struct KoHttp2Settings {
    // Offered by ALPN beside "http/1.1"; false: HTTP/1.1 only.
    bool enabled = true;
    // Streams a client may have open at once (SETTINGS_MAX_CONCURRENT_STREAMS).
    std::uint32_t maxStreams = 100;
    // Decoded header list of one request (SETTINGS_MAX_HEADER_LIST_SIZE):
    // names and values plus 32 bytes a field.
    std::size_t maxHeaderList = 64u * 1024;
    // A connection without open streams is closed after this long (GOAWAY).
    std::chrono::milliseconds idleTimeout{115'000};
    // An answer that the peer's flow-control window (or its socket) holds
    // back this long ends the connection: a reader that never reads.
    std::chrono::milliseconds stalledOutputTimeout{30'000};
};

struct KoHTTPSettings {
    // A request's header must be complete this long after its first byte;
    // the deadline does not restart with each byte.
    std::chrono::milliseconds headerDeadline{30'000};
    // A body that makes no progress for this long ends the connection.
    std::chrono::milliseconds bodyProgressDeadline{30'000};
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
    // Bytes of a static file read per step while it is sent.
    std::size_t fileChunk = 64u * 1024;
    // The Cache-Control value of static file answers; none when empty, and
    // browsers then revalidate by Last-Modified and ETag as they see fit.
    std::string cacheControl;
    // Static files sent compressed (gzip, br) to clients that take it, from
    // precompressed siblings or compressed once per version.
    KoStaticCompression compression;
    // Script output and host answers of a text type compressed as they are
    // made; over HTTPS only scripts when allowed and host answers marked
    // safe: a secret beside text the client chose would leak through the
    // compressed size (BREACH).
    KoAnswerCompression answerCompression;
    // A connection takes up its next request only while at most this many
    // bytes of earlier answers wait unsent (and reads nothing meanwhile).
    std::size_t outputBound = 64u * 1024;
    // Static files at least this large go out by sendfile over plain HTTP.
    std::size_t sendfileThreshold = 16u * 1024;
    KoMessageLimits limits;
    // A body for a script or a host handler larger than this goes to a
    // temporary file instead of memory (the script reads it from there, a
    // handler gets its name).
    std::size_t bodyMemoryBound = 1024u * 1024;
    KoServerSettings server;
    KoHttp2Settings http2;
    // Host handlers that may block, running at once; further calls wait.
    std::size_t handlerConcurrency = 8;
    // Which requests may act, for which Host names, with which security
    // fields in the answers.
    KoSiteRules site;
    // Asked before routing (address rules and passwords by path); none: all
    // pass.
    std::shared_ptr<KoRequestGuard> guard;
    // Asked after the guard, on the handler queue; none: no hop there.
    std::shared_ptr<KoRequestHook> hook;
    // Fills the server's own error answers (404, 5xx); none: built-in texts.
    std::shared_ptr<KoErrorPages> errorPages;
    // Where the layers write their access log; none: the loop's log on
    // standard output (KoTransceiver::WriteLog).
    KoAccessLogSink accessLog;
};
