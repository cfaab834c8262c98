#include "host/streamed_answer.h"

#include <chrono>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "message/answer_sink.h"
#include "message/body_stream.h"
#include "message/response_header.h"

namespace {

// What waits for a slow client, as for a script's output.
constexpr std::size_t kHeldBound = 64 * 1024;

using Clock = KoBodyStream::Clock;

// Abandons the stream when the server stops, so a blocked write returns.
class StopsWithServer final : public KoLiveChannel {
public:
    explicit StopsWithServer(std::weak_ptr<KoBodyStream> stream_) : stream(std::move(stream_)) {}
    void serverStops() override {
        if (auto held = stream.lock()) held->abandon();
    }

private:
    std::weak_ptr<KoBodyStream> stream;
};

class Writer final : public velko::BodyWriter {
public:
    Writer(std::shared_ptr<KoBodyStream> stream_, std::weak_ptr<KoAnswerSink> sink_, long long limit_)
        : stream(std::move(stream_)), sink(std::move(sink_)), limit(limit_) {}

    bool write(const std::string& bytes) override {
        if (limit >= 0 && written + static_cast<long long>(bytes.size()) > limit) {
            over = true;
            return false;
        }
        if (clientGone()) return false;
        // Waits for room; the stream is abandoned when the client or the
        // server goes, which ends the wait at once.
        while (!stream->push(bytes, Clock::now() + std::chrono::hours(1))) {
            if (clientGone()) return false;
        }
        written += static_cast<long long>(bytes.size());
        return true;
    }
    bool clientGone() const override {
        if (stream->abandoned()) return true;
        auto connection = sink.lock();
        return !connection || connection->ClientGone();
    }
    bool whole() const { return !over && (limit < 0 || written == limit); }

private:
    const std::shared_ptr<KoBodyStream> stream;
    const std::weak_ptr<KoAnswerSink> sink;
    const long long limit;
    long long written = 0;
    bool over = false;
};

}  // namespace

void KoAttachProducer(const velko::Answer& answer, const KoXHeader& request, KoXResponseHeader& response,
                      const std::shared_ptr<KoLiveChannels>& live) {
    if (!answer.producer) return;
    // Whatever KoFillAnswer put there: the producer makes the body.
    response.Input().str(std::string());
    response.bodyFile.clear();
    response.bodyStream.reset();
    response.lengthUnknown = answer.streamLength < 0;
    response.contentLength = answer.streamLength < 0 ? 0 : static_cast<std::uint64_t>(answer.streamLength);
    if (!response.SendsBody()) {
        // A HEAD answer of known length announces it: an ended stream
        // takes it to the writer of streamed bodies, which sends no body.
        if (!response.lengthUnknown && response.answersHead) {
            auto none = std::make_shared<KoBodyStream>(1);
            none->end(true);
            response.bodySource = KoBodyStream::reader(none);
        }
        return;
    }
    auto stream = std::make_shared<KoBodyStream>(kHeldBound);
    response.bodySource = KoBodyStream::reader(stream);
    auto stops = std::make_shared<StopsWithServer>(stream);
    if (live) live->add(stops);
    response.afterAnswered = [producer = answer.producer, stream, stops, sink = request.answerSink,
                              limit = answer.streamLength, path = request.path] {
        Writer writer(stream, sink, limit);
        bool whole = false;
        try {
            producer(writer);
            whole = writer.whole();
        } catch (const std::exception& error) {
            diagnostic("streamed answer for " + escapeForLog(path) + " failed: " + escapeForLog(error.what()));
        } catch (...) {
            diagnostic("streamed answer for " + escapeForLog(path) + " failed");
        }
        stream->end(whole);
    };
}
