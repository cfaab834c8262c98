#include "server/scripts/fastcgi_connection.h"

#include <algorithm>
#include <utility>

#include "platform/open_file.h"
#include "platform/socket.h"
#include "server/scripts/fastcgi_records.h"
#include "server/scripts/fastcgi_response.h"

namespace {

// Body bytes put into records per refill of the send buffer.
constexpr std::size_t kInputChunk = fastcgi::maxContentLength;
constexpr std::size_t kReadChunk = 64 * 1024;

KoFastCgiOutcome Ended(KoFastCgiOutcome::Kind kind, std::string failure = {}) {
    KoFastCgiOutcome outcome;
    outcome.kind = kind;
    outcome.failure = std::move(failure);
    return outcome;
}

int MillisecondsUntil(KoFastCgiConnection::Clock::time_point deadline) {
    const auto left = deadline - KoFastCgiConnection::Clock::now();
    if (left <= left.zero()) return 0;
    // Round up, so that a wait never ends just before the deadline and spins.
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

}  // namespace

KoFastCgiConnection::KoFastCgiConnection(platform::Descriptor socket_, int stopFd) : socket(std::move(socket_)) {
    watched = socket.valid() && poller.add(socket.get(), platform::readable, socketTag) &&
              (stopFd < 0 || poller.add(stopFd, platform::readable, stopTag));
}

KoFastCgiOutcome KoFastCgiConnection::exchange(const KoFastCgiRequest& request, Clock::time_point deadline,
                                               std::size_t maxOutput, const ErrorSink& errors) {
    std::string collected;
    bool tooLarge = false;
    const Output collect = [&](std::string_view bytes) {
        if (collected.size() + bytes.size() > maxOutput) {
            tooLarge = true;
            return false;
        }
        collected.append(bytes);
        return true;
    };
    KoFastCgiOutcome outcome = exchange(request, deadline, collect, -1, errors);
    if (tooLarge && outcome.kind == KoFastCgiOutcome::Kind::abandoned) {
        outcome = Ended(KoFastCgiOutcome::Kind::outputTooLarge, "output past the limit");
    }
    if (outcome.kind == KoFastCgiOutcome::Kind::completed) outcome.output = std::move(collected);
    return outcome;
}

KoFastCgiOutcome KoFastCgiConnection::exchange(const KoFastCgiRequest& request, Clock::time_point deadline,
                                               const Output& output, int pauseMs, const ErrorSink& errors,
                                               const std::function<bool()>& wanted, int checkMs) {
    using Kind = KoFastCgiOutcome::Kind;
    if (!watched) return Ended(Kind::failed, "no connection");
    std::string pending;
    fastcgi::appendBeginRequest(pending, requestId, true);
    if (!fastcgi::appendParams(pending, requestId, request.params)) {
        KoFastCgiOutcome outcome = Ended(Kind::failed, "a request variable too long for one FastCGI record");
        outcome.reusable = true;  // nothing was sent
        return outcome;
    }
    const std::string_view body = request.body;
    // A body in a file is read from it a piece at a time, as the socket takes it.
    platform::Descriptor bodyFile;
    std::string piece;
    if (!request.bodyFile.empty()) {
        auto opened = platform::openForReading(request.bodyFile);
        if (!opened.ok()) {
            KoFastCgiOutcome outcome = Ended(Kind::failed, "the request body cannot be read: " + opened.error().text());
            outcome.reusable = true;  // nothing was sent
            return outcome;
        }
        bodyFile = std::move(opened.value());
        piece.resize(kInputChunk);
    }
    std::uint64_t bodyQueued = 0;
    bool inputEnded = false;
    std::string bodyFailure;
    // The send buffer holds a bounded part of the body at a time; false when
    // the body's file failed (the script must not get a part as the whole).
    const auto refill = [&] {
        while (!inputEnded && pending.size() < kInputChunk) {
            std::string_view chunk;
            if (bodyFile.valid()) {
                const platform::IoResult got = platform::readAt(bodyFile.get(), piece.data(), piece.size(), bodyQueued);
                if (!got.error.ok()) {
                    bodyFailure = "the request body cannot be read: " + got.error.text();
                    return false;
                }
                chunk = std::string_view(piece.data(), got.bytes);
            } else {
                chunk = body.substr(static_cast<std::size_t>(bodyQueued),
                                    std::min(body.size() - static_cast<std::size_t>(bodyQueued), kInputChunk));
            }
            fastcgi::appendStream(pending, fastcgi::record::stdinStream, requestId, chunk);
            bodyQueued += chunk.size();
            inputEnded = chunk.empty();
        }
        return true;
    };
    if (!refill()) return Ended(Kind::failed, bodyFailure);

    std::size_t offset = 0;
    bool anySent = false;
    bool sendFailed = false;
    unsigned interest = platform::readable;
    KoFastCgiResponse response(requestId);
    std::vector<platform::Poller::Event> events;
    std::string buffer(kReadChunk, '\0');
    // A pause is told once per quiet spell, pauseMs after the last output.
    bool pauseTold = pauseMs < 0;
    auto quietSince = Clock::now();
    // Hands on what arrived of FCGI_STDOUT; false when the taker wants no more.
    const auto passOn = [&] {
        std::string& arrived = response.Output();
        if (arrived.empty()) return true;
        pauseTold = pauseMs < 0;
        quietSince = Clock::now();
        const bool wanted = output(arrived);
        arrived.clear();
        return wanted;
    };
    // A taker that held the exchange up past its time ended a request that timed out.
    const auto abandoned = [&] {
        return Ended(MillisecondsUntil(deadline) == 0 ? Kind::timedOut : Kind::abandoned, "the output was not wanted");
    };

    const bool checks = checkMs >= 0 && wanted;
    auto nextCheck = Clock::now() + std::chrono::milliseconds(checkMs);
    for (;;) {
        if (checks && Clock::now() >= nextCheck) {
            if (!wanted()) return abandoned();
            nextCheck = Clock::now() + std::chrono::milliseconds(checkMs);
        }
        while (offset < pending.size()) {
            const platform::IoResult sent = platform::sendSome(socket.get(), pending.data() + offset, pending.size() - offset);
            if (sent.error.ok()) {
                anySent = anySent || sent.bytes > 0;
                offset += sent.bytes;
                if (offset == pending.size()) {
                    pending.clear();
                    offset = 0;
                    if (!refill()) return Ended(Kind::failed, bodyFailure);
                }
                continue;
            }
            if (sent.error.wouldBlock()) break;
            if (sent.error.interrupted()) continue;
            // The responder went away; an answer it already wrote may still be read.
            if (!anySent) return Ended(Kind::unsent, "the process had gone: " + sent.error.text());
            sendFailed = true;
            pending.clear();
            offset = 0;
        }
        const unsigned wanted = platform::readable | (offset < pending.size() ? platform::writable : 0u);
        if (wanted != interest) {
            poller.modify(socket.get(), wanted);
            interest = wanted;
        }
        int left = MillisecondsUntil(deadline);
        if (left == 0) return Ended(Kind::timedOut, "no answer in time");
        if (!pauseTold) {
            const int pauseLeft = MillisecondsUntil(quietSince + std::chrono::milliseconds(pauseMs));
            if (pauseLeft == 0) {
                pauseTold = true;
                if (!output(std::string_view())) return abandoned();
                continue;
            }
            left = std::min(left, pauseLeft);
        }
        // A quiet responder is looked at again when the next check is due.
        if (checks) left = std::min(left, std::max(1, MillisecondsUntil(nextCheck)));
        auto waited = poller.wait(left, events);
        if (!waited.ok()) return Ended(Kind::failed, "waiting failed: " + waited.error().text());
        bool readable = false;
        for (const auto& event : events) {
            if (event.tag == stopTag) return Ended(Kind::stopped, "stopped");
            if (event.ready & (platform::readable | platform::hangup | platform::failed)) readable = true;
        }
        while (readable) {
            const platform::IoResult got = platform::receiveSome(socket.get(), buffer.data(), buffer.size());
            if (!got.error.ok()) {
                if (got.error.wouldBlock()) break;
                if (got.error.interrupted()) continue;
                return Ended(Kind::failed, "the connection failed: " + got.error.text());
            }
            if (got.bytes == 0) {
                return Ended(Kind::failed, response.MidRecord() ? "the answer was cut in the middle of a record"
                                                                : "the process closed the connection before the end");
            }
            const auto status = response.feed(std::string_view(buffer.data(), got.bytes));
            const std::string stderrBytes = response.TakeErrors();
            if (!stderrBytes.empty() && errors) errors(stderrBytes);
            if (status == KoFastCgiResponse::Status::failed) return Ended(Kind::failed, "it sent " + response.Failure());
            if (!passOn()) return abandoned();
            if (status == KoFastCgiResponse::Status::ended) {
                KoFastCgiOutcome outcome = Ended(Kind::completed);
                // Whatever is left unsent or unread would confuse the next request.
                outcome.reusable = inputEnded && pending.empty() && !sendFailed && !response.Trailing();
                return outcome;
            }
        }
    }
}
