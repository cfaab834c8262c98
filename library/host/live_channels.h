// Host interface: KoLiveChannels, what a server's live channels share -
// the work queue their host callbacks run on (KoCallbackSequence keeps the
// callbacks of one channel in order, one at a time), the WebSockets of each
// broadcast group, the heartbeat of event streams, and the end of them all
// when the server stops.
//
// Ownership: shared by the Server's state, its routes and every channel;
// members are registered by weak reference. start() gives it the
// scheduler; callbacks submitted before it, or after stop(), are dropped.
// Threads: any; stop() waits for running callbacks and must not be called
// from one. A ticker thread runs while some channel wants a heartbeat.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/connection/websocket_protocol.h"

class KoBoundedWorkQueue;
class KoKessaScheduler2;

// A channel that lives until the server stops: it is told then, and may
// ask for a beat now and then.
class KoLiveChannel {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~KoLiveChannel() = default;
    virtual void serverStops() = 0;
    // When beat() is due; max() for never.
    virtual Clock::time_point beatDue() const { return Clock::time_point::max(); }
    virtual void beat(Clock::time_point) {}
};

class KoLiveChannels : public std::enable_shared_from_this<KoLiveChannels> {
public:
    KoLiveChannels();
    ~KoLiveChannels();
    KoLiveChannels(const KoLiveChannels&) = delete;
    KoLiveChannels& operator=(const KoLiveChannels&) = delete;

    void start(KoKessaScheduler2& scheduler, std::size_t concurrency);
    // Ends every channel, closes every WebSocket with 1001 and waits a
    // little for their clients' answers, then ends the callbacks (waiting
    // for running ones).
    void stop();
    // False when dropped (not started, or stopped).
    bool submit(std::function<void()> work);

    void join(const std::string& group, const std::shared_ptr<KoWebSocketPeer>& peer);
    // Frames text once and queues it on every open WebSocket of group.
    std::size_t broadcast(const std::string& group, const std::string& text);

    void add(const std::shared_ptr<KoLiveChannel>& channel);
    // A channel's beat is due sooner than it was.
    void beatChanged();
    bool stopping() const;

private:
    void tick();

    mutable std::mutex lock;
    std::condition_variable changed;
    std::unique_ptr<KoBoundedWorkQueue> queue;  // under lock
    std::map<std::string, std::vector<std::weak_ptr<KoWebSocketPeer>>> groups;
    std::vector<std::weak_ptr<KoLiveChannel>> channels;
    std::thread ticker;
    bool stopped = false;
};

// The callbacks of one channel: run one after the other, in order.
class KoCallbackSequence {
public:
    explicit KoCallbackSequence(std::shared_ptr<KoLiveChannels> live);
    void post(std::function<void()> work);

private:
    struct State {
        std::mutex lock;
        std::deque<std::function<void()>> waiting;
        bool running = false;
    };
    // Hands the sequence's next turn to the queue.
    static void submit(const std::shared_ptr<State>& state, const std::shared_ptr<KoLiveChannels>& live);
    static void run(const std::shared_ptr<State>& state, const std::shared_ptr<KoLiveChannels>& live);

    const std::shared_ptr<KoLiveChannels> live;
    const std::shared_ptr<State> state = std::make_shared<State>();
};
