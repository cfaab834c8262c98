// Server stack: KoScriptStream, the answer to one CGI or PHP run, made as
// the script's output comes (a KoScriptOutput fed by the runner or the PHP
// pool).
//
// The header block is read with KoCgiOutputParser: malformed output ends
// the run and is answered 502 with a line on standard error. The body that
// follows is held, up to `bound` bytes: a run that ends meanwhile is
// answered whole, with its length. Once more than the bound has come, or
// the output pauses for `pauseMs` after the header block, the head goes out
// with the length unknown (the layer frames the body: chunked, or to the
// end of the connection for HTTP/1.0) and the body follows through a
// KoBodyStream as the client takes it: the run is held up while the stream
// holds more than the bound, so a script is never ahead of its client by
// more than about the bound plus one read. HEAD and bodiless statuses get
// their head (a HEAD's with the coding and Vary of its GET); the script's
// body is read and thrown away.
//
// The body is compressed (gzip or br, by the request's Accept-Encoding)
// when KoChooseAnswerCoding says so for the script's head: a whole answer
// of at least the minimum size at once, a streamed one through a
// KoCompressedStream that is flushed whenever the output pauses.
//
// A run that fails before anything went out is answered with its status
// (502, 503, 504; 503 when the server stops); one dropped before it ran
// answers nothing; one that fails after the head went out (time limit,
// death, stop) cuts the body, so the client sees a truncated answer. A
// client that goes away abandons the stream: the next take fails and the
// run is ended; wanted() says no as soon as the request's connection has
// ended or its client has hung up, so a quiet run is ended too.
//
// Ownership: shared by the run that feeds it and the router's
// KoScriptStreams. Threads: started, take, paused and finish on the run's
// thread; stop() from any thread. The deliver callable (which hands a
// response to the request's connection) runs on the run's thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message/answer_sink.h"
#include "message/body_stream.h"
#include "server/http/answer_compression.h"
#include "server/http/compressed_stream.h"
#include "server/scripts/cgi_output.h"
#include "server/scripts/script_result.h"

class KoXResponseHeader;

class KoScriptStream : public KoScriptOutput {
public:
    struct Limits {
        std::size_t headerLimit = KoCgiOutputParser::kDefaultHeaderLimit;
        std::size_t bound = 64 * 1024;
        int pauseMs = 100;
        KoAnswerCompression compression;
    };
    using Deliver = std::function<void(std::shared_ptr<KoXResponseHeader> response)>;

    // response: the answer to fill (status 200, the request's fields);
    // file: the script, for the log lines.
    KoScriptStream(std::shared_ptr<KoXResponseHeader> response, std::string file, Limits limits, Deliver deliver);
    ~KoScriptStream() override;
    KoScriptStream(const KoScriptStream&) = delete;
    KoScriptStream& operator=(const KoScriptStream&) = delete;

    // Not once the server stops, or the request's connection is gone or its
    // client has hung up.
    bool wanted() override;
    void started(Clock::time_point deadline) override;
    bool take(std::string_view bytes) override;
    int pauseMs() const override { return limits.pauseMs; }
    bool paused() override;
    void finish(std::int32_t failureStatus) override;

    // The server stops: the run is ended, a body being sent is cut.
    void stop();
    // Whether the head has gone out with the length unknown.
    bool streaming() const { return source != nullptr || discarding; }

private:
    // The head goes out; the body follows through the stream.
    bool beginStream();
    // The parsed head into the response, and the body's coding chosen.
    void applyHead();
    // The whole body into the response, compressed when chosen.
    void putWholeBody();

    std::shared_ptr<KoXResponseHeader> response;
    const std::weak_ptr<KoAnswerSink> client;  // the request's connection
    const bool hasClient;
    const std::string file;
    const Limits limits;
    const Deliver deliver;
    KoCgiOutputParser parser;
    Clock::time_point deadline = Clock::time_point::max();
    std::string held;  // body not yet sent
    std::shared_ptr<KoBodyStream> source;
    KoAnswerCoding coding;
    std::unique_ptr<KoCompressedStream> compressed;  // source's maker side when compressing
    bool discarding = false;  // streamed without a body: output is read and dropped
    bool malformed = false;
    bool finished = false;
    std::atomic<bool> stopping{false};
    std::mutex sourceLock;  // source as seen by stop()
};

// The router's running script answers, so that stopping the server ends the
// runs that wait for a client.
class KoScriptStreams {
public:
    // A stream added after stopAll is stopped at once.
    void add(const std::shared_ptr<KoScriptStream>& stream);
    void stopAll();

private:
    std::mutex lock;
    std::vector<std::weak_ptr<KoScriptStream>> streams;
    bool stopped = false;
};
