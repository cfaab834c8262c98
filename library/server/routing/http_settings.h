// Server stack: the timing constants and limits of the HTTP layer and its
// router, as one settings record given at construction, with those of CGI
// runs and the PHP pool (KoScriptSettings) as its base. The defaults are the
// system's; tests shorten them.
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
#include "server/scripts/script_settings.h"

// Takes the access log: one line (without its line break) per answer, on
// the loop that wrote the answer. It must not throw.
using KoAccessLogSink = std::function<void(std::string_view line)>;

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
    // Request body bytes that one connection's streams may hold in memory
    // at once: a form's past it is answered 413, a script's goes to its
    // temporary file sooner.
    std::size_t bodiesInMemory = 32u * 1024 * 1024;
};

// The script limits (KoScriptSettings) are its base: they are its fields
// too, and the CGI runner and the PHP pool take only them.
struct KoHTTPSettings : KoScriptSettings {
    // A request's header must be complete this long after its first byte;
    // the deadline does not restart with each byte.
    std::chrono::milliseconds headerDeadline{30'000};
    // A body that makes no progress for this long ends the connection.
    std::chrono::milliseconds bodyProgressDeadline{30'000};
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
