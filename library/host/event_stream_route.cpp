#include "host/event_stream_route.h"

#include <mutex>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/text_utils.h"
#include "host/host_handler.h"
#include "message/body_stream.h"
#include "message/response_header.h"
#include "server/http/event_stream.h"

namespace {

using Clock = KoLiveChannel::Clock;

class HostEventStream final : public velko::EventStream,
                              public KoLiveChannel,
                              public std::enable_shared_from_this<HostEventStream> {
public:
    HostEventStream(std::shared_ptr<KoBodyStream> stream_, velko::Request request_,
                    std::shared_ptr<const velko::EventStreamHandlers> handlers_, std::chrono::milliseconds heartbeat_,
                    std::shared_ptr<KoLiveChannels> live)
        : stream(std::move(stream_)),
          opening(std::move(request_)),
          lastId(opening.field("last-event-id")),
          handlers(std::move(handlers_)),
          heartbeat(heartbeat_),
          sequence(std::move(live)),
          lastWrite(Clock::now()) {}

    bool send(const std::string& data, const std::string& event, const std::string& id) override {
        KoServerSentEvent written;
        written.data = data;
        written.event = event;
        written.id = id;
        return push(KoFormatEvent(written));
    }
    bool comment(const std::string& text) override { return push(KoEventStreamComment(text)); }
    void close() override {
        std::lock_guard<std::mutex> guard(lock);
        if (!open) return;
        open = false;
        stream->end(true);
    }
    bool isOpen() const override {
        std::lock_guard<std::mutex> guard(lock);
        return open && !stream->abandoned();
    }
    const velko::Request& request() const override { return opening; }
    const std::string& lastEventId() const override { return lastId; }

    void serverStops() override { close(); }
    Clock::time_point beatDue() const override {
        std::lock_guard<std::mutex> guard(lock);
        if (!open || heartbeat.count() <= 0) return Clock::time_point::max();
        return lastWrite + heartbeat;
    }
    void beat(Clock::time_point now) override {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!open || now < lastWrite + heartbeat) return;
            // Due again a heartbeat later, also when this one finds no room.
            lastWrite = now;
        }
        push(KoEventStreamComment(""));
    }

    // The connection let go of the stream.
    void ended() {
        {
            std::lock_guard<std::mutex> guard(lock);
            open = false;
            if (told) return;
            told = true;
        }
        if (!handlers->onClose) return;
        auto self = shared_from_this();
        auto held = handlers;
        sequence.post([self, held] {
            try {
                held->onClose(self);
            } catch (const std::exception& error) {
                diagnostic("event stream onClose for " + escapeForLog(self->opening.path) +
                           " failed: " + escapeForLog(error.what()));
            } catch (...) {
                diagnostic("event stream onClose for " + escapeForLog(self->opening.path) + " failed");
            }
        });
    }

private:
    bool push(std::string text) {
        std::lock_guard<std::mutex> guard(lock);
        if (!open) return false;
        // Never waits: a client that is behind makes the send report false.
        if (!stream->push(std::move(text), Clock::now())) return false;
        lastWrite = Clock::now();
        return true;
    }

    const std::shared_ptr<KoBodyStream> stream;
    const velko::Request opening;
    const std::string lastId;
    const std::shared_ptr<const velko::EventStreamHandlers> handlers;
    const std::chrono::milliseconds heartbeat;
    KoCallbackSequence sequence;
    mutable std::mutex lock;
    Clock::time_point lastWrite;  // under lock
    bool open = true;             // under lock
    bool told = false;            // under lock
};

}  // namespace

KoEventStreamRoute::KoEventStreamRoute(std::string path_, velko::EventStreamHandlers handlers_,
                                       velko::EventStreamOptions options_, std::shared_ptr<KoLiveChannels> live_)
    : path(std::move(path_)),
      handlers(std::make_shared<const velko::EventStreamHandlers>(std::move(handlers_))),
      options(options_),
      live(std::move(live_)) {}

void KoEventStreamRoute::message(KoXHeader& request, KoXResponseHeader& response, const std::string&) {
    KoClearAnswer(response);
    response.statusCode = 200;
    response.fields["content-type"] = {"text/event-stream"};
    response.fields["cache-control"] = {"no-store"};
    response.lengthUnknown = true;
    if (!response.SendsBody()) return;  // HEAD

    auto stream = std::make_shared<KoBodyStream>(options.maxQueued);
    auto handle = std::make_shared<HostEventStream>(stream, KoHostRequestOf(request, std::string()), handlers,
                                                    options.heartbeat, live);
    if (options.retry.count() > 0) {
        KoServerSentEvent retry;
        retry.retry = options.retry;
        // Only the retry field: no data line, so no event reaches the page.
        std::string text = KoFormatEvent(retry);
        text = text.substr(0, text.find("data:"));
        stream->push(text + "\n", Clock::now());
    }
    // The connection's handle: when it lets go, the host learns of it.
    response.bodySource = std::shared_ptr<KoBodyStream>(stream.get(), [stream, handle](KoBodyStream* held) {
        held->abandon();
        handle->ended();
    });
    live->add(handle);
    if (handlers->onOpen) {
        try {
            handlers->onOpen(handle);
        } catch (const std::exception& error) {
            diagnostic("event stream onOpen for " + escapeForLog(path) + " failed: " + escapeForLog(error.what()));
            handle->close();
        }
    }
}
