#include "server/scripts/script_stream.h"

#include <algorithm>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "compress/compressor.h"
#include "message/response_header.h"
#include "server/http/http_answer.h"

KoScriptStream::KoScriptStream(std::shared_ptr<KoXResponseHeader> response_, std::string file_, Limits limits_,
                               Deliver deliver_)
    : response(std::move(response_)),
      client(response ? response->answerSink : std::weak_ptr<KoAnswerSink>()),
      hasClient(!client.expired()),
      file(std::move(file_)),
      limits(limits_),
      deliver(std::move(deliver_)),
      parser(limits_.headerLimit) {}

KoScriptStream::~KoScriptStream() {
    // A run dropped before it ran (the server stops) answers nothing; a body
    // it began is cut.
    if (!finished && source) source->end(false);
}

void KoScriptStream::started(Clock::time_point runDeadline) { deadline = runDeadline; }

bool KoScriptStream::wanted() {
    if (stopping.load()) return false;
    // An answer that goes to its layer by name has nobody to look at.
    if (!hasClient) return true;
    const std::shared_ptr<KoAnswerSink> sink = client.lock();
    return sink && !sink->ClientGone();
}

void KoScriptStream::applyHead() {
    const KoCgiHead& head = parser.head();
    response->statusCode = head.status;
    response->location = head.location;
    response->fields[kCgiLinesField] = head.headerLines;
    std::string accepted;
    KoAnswerFacts facts = KoAnswerFactsOf(*response, accepted);
    facts.safeOverTls = limits.compression.scriptsOverTls;
    coding = KoChooseAnswerCoding(facts, limits.compression);
    // Content-Encoding once the body's length tells whether it pays.
    KoMarkAnswerCoding(*response, {KoContentCoding::identity, coding.varies});
}

void KoScriptStream::putWholeBody() {
    if (coding.coding != KoContentCoding::identity && held.size() >= limits.compression.minimumSize) {
        std::string packed = KoCompress(coding.coding, held, limits.compression.level);
        // Bytes that do not shrink go out as they are.
        if (packed.size() < held.size()) {
            KoMarkAnswerCoding(*response, coding);
            held.swap(packed);
        }
    } else if (coding.coding != KoContentCoding::identity && response->answersHead && held.empty()) {
        // A script that writes no body for HEAD (php-cgi) tells nothing of
        // its GET's size: the head announces the coding a long GET gets.
        KoMarkAnswerCoding(*response, coding);
    }
    response->Input().sputn(held.data(), static_cast<std::streamsize>(held.size()));
}

bool KoScriptStream::take(std::string_view bytes) {
    if (stopping.load() || finished) return false;
    if (parser.status() != KoCgiOutputParser::Status::complete) {
        std::size_t used = 0;
        switch (parser.feed(bytes, used)) {
        case KoCgiOutputParser::Status::needMore:
            return true;
        case KoCgiOutputParser::Status::malformed:
            // Nothing of it can be passed on: the run is ended at once.
            malformed = true;
            return false;
        case KoCgiOutputParser::Status::complete:
            applyHead();
            bytes.remove_prefix(used);
            break;
        }
    }
    if (discarding) return true;
    if (compressed) return compressed->push(bytes, deadline);
    if (source) return source->push(std::string(bytes), deadline);
    held.append(bytes);
    // More than may wait here: the answer goes out as it comes.
    if (held.size() > limits.bound) return beginStream();
    return true;
}

bool KoScriptStream::paused() {
    // Nobody reads any more: a quiet run ends too.
    if (stopping.load() || finished || (source && source->abandoned())) return false;
    // A script that pauses after its header block is answered as it goes.
    if (parser.status() == KoCgiOutputParser::Status::complete && !streaming() && !beginStream()) return false;
    // What the compressor holds back goes to the client now.
    if (compressed) return compressed->flush(deadline);
    return true;
}

bool KoScriptStream::beginStream() {
    response->lengthUnknown = true;
    if (!response->SendsBody()) {
        discarding = true;
        held.clear();
        // A HEAD's head is its GET's: the GET's body would be compressed as it goes.
        if (response->answersHead) KoMarkAnswerCoding(*response, coding);
        deliver(response);
        return true;
    }
    auto made = std::make_shared<KoBodyStream>(limits.bound);
    {
        std::lock_guard<std::mutex> guard(sourceLock);
        source = made;
    }
    response->bodySource = KoBodyStream::reader(made);
    if (coding.coding != KoContentCoding::identity) {
        compressed = std::make_unique<KoCompressedStream>(made, coding.coding, limits.compression.level);
        KoMarkAnswerCoding(*response, coding);
    }
    deliver(response);
    // The connection holds the reader now (or dropped it, and the push fails).
    response.reset();
    std::string first;
    first.swap(held);
    if (compressed) return compressed->push(first, deadline);
    return made->push(std::move(first), deadline);
}

void KoScriptStream::finish(std::int32_t failureStatus) {
    if (finished) return;
    finished = true;
    if (streaming()) {
        if (source) {
            const bool cut = failureStatus != 0 || stopping.load();
            if (cut && !source->abandoned()) {
                diagnostic("the answer of " + escapeForLog(file) + " was cut short: " +
                           (failureStatus == 504 ? "its time ran out" : "the run ended early"));
            }
            if (compressed) {
                compressed->end(!cut, deadline);
            } else {
                source->end(!cut);
            }
        }
        return;
    }
    // Nothing went out yet: the answer is whole, or a failure.
    const bool whole = !malformed && failureStatus == 0 && !stopping.load() &&
                       parser.finish() == KoCgiOutputParser::Status::complete;
    if (whole) {
        putWholeBody();
    } else {
        response->location.clear();
        response->fields.erase(kCgiLinesField);
        response->fields.erase("vary");
        if (stopping.load()) {
            response->statusCode = 503;
        } else if (malformed || failureStatus == 0) {
            diagnostic("CGI output of " + escapeForLog(file) + " is malformed: " + escapeForLog(parser.reason()));
            response->statusCode = 502;
        } else {
            response->statusCode = failureStatus;
        }
    }
    held.clear();
    deliver(response);
}

void KoScriptStream::stop() {
    stopping = true;
    std::shared_ptr<KoBodyStream> running;
    {
        std::lock_guard<std::mutex> guard(sourceLock);
        running = source;
    }
    // Wakes a take that waits for the client.
    if (running) running->abandon();
}

void KoScriptStreams::add(const std::shared_ptr<KoScriptStream>& stream) {
    bool stopNow = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopNow = stopped;
        // Those whose runs ended go.
        streams.erase(std::remove_if(streams.begin(), streams.end(), [](const auto& s) { return s.expired(); }),
                      streams.end());
        streams.push_back(stream);
    }
    if (stopNow) stream->stop();
}

void KoScriptStreams::stopAll() {
    std::vector<std::weak_ptr<KoScriptStream>> all;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopped = true;
        all.swap(streams);
    }
    for (const auto& weak : all) {
        if (auto stream = weak.lock()) stream->stop();
    }
}
