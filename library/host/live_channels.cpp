#include "host/live_channels.h"

#include <algorithm>
#include <utility>

#include "jobs/bounded_work_queue.h"

namespace {

// Callbacks of one channel run in a row, then let others have the thread.
constexpr int kCallbacksPerTurn = 32;

// How long stop waits for the clients to answer the WebSockets' close: the
// close frame has to leave before the loops end, and a connection ended
// after the client's answer is not reset with its bytes unread.
constexpr std::chrono::milliseconds kStopCloseWait{1000};

template <typename Weak>
void DropExpired(std::vector<Weak>& members) {
    members.erase(std::remove_if(members.begin(), members.end(), [](const Weak& one) { return one.expired(); }),
                  members.end());
}

}  // namespace

KoLiveChannels::KoLiveChannels() = default;

KoLiveChannels::~KoLiveChannels() { stop(); }

void KoLiveChannels::start(KoKessaScheduler2& scheduler, std::size_t concurrency) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped || queue) return;
    queue = std::make_unique<KoBoundedWorkQueue>(scheduler, concurrency, "KoLiveCallbacks");
}

bool KoLiveChannels::stopping() const {
    std::lock_guard<std::mutex> guard(lock);
    return stopped;
}

void KoLiveChannels::stop() {
    std::vector<std::weak_ptr<KoLiveChannel>> ending;
    std::map<std::string, std::vector<std::weak_ptr<KoWebSocketPeer>>> sockets;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return;
        stopped = true;
        ending.swap(channels);
        sockets.swap(groups);
    }
    changed.notify_all();
    if (ticker.joinable()) ticker.join();
    for (auto& weak : ending) {
        if (auto channel = weak.lock()) channel->serverStops();
    }
    std::vector<std::shared_ptr<KoWebSocketPeer>> closing;
    for (auto& [group, peers] : sockets) {
        for (auto& weak : peers) {
            if (auto peer = weak.lock()) {
                peer->close(websocket_close::goingAway, "the server stops");
                closing.push_back(std::move(peer));
            }
        }
    }
    const auto until = std::chrono::steady_clock::now() + kStopCloseWait;
    for (const auto& peer : closing) peer->waitEnded(until);
    std::unique_ptr<KoBoundedWorkQueue> ended;
    {
        std::lock_guard<std::mutex> guard(lock);
        ended = std::move(queue);
    }
    if (ended) ended->stop();
}

bool KoLiveChannels::submit(std::function<void()> work) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped || !queue) return false;
    return queue->submit(std::move(work));
}

void KoLiveChannels::join(const std::string& group, const std::shared_ptr<KoWebSocketPeer>& peer) {
    std::lock_guard<std::mutex> guard(lock);
    if (stopped) return;
    auto& members = groups[group];
    DropExpired(members);
    members.push_back(peer);
}

std::size_t KoLiveChannels::broadcast(const std::string& group, const std::string& text) {
    std::vector<std::shared_ptr<KoWebSocketPeer>> open;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = groups.find(group);
        if (it == groups.end()) return 0;
        DropExpired(it->second);
        for (auto& weak : it->second) {
            if (auto peer = weak.lock()) open.push_back(std::move(peer));
        }
    }
    if (open.empty()) return 0;
    const KoWebSocketFrame frame = makeSharedFrame(KoWebSocketOpcode::text, text);
    std::size_t reached = 0;
    for (const auto& peer : open) {
        if (peer->sendShared(frame) == KoWebSocketPeer::Sent::queued) ++reached;
    }
    return reached;
}

void KoLiveChannels::add(const std::shared_ptr<KoLiveChannel>& channel) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopped) return;
        DropExpired(channels);
        channels.push_back(channel);
        if (!ticker.joinable() && channel->beatDue() != KoLiveChannel::Clock::time_point::max()) {
            ticker = std::thread([this] { tick(); });
        }
    }
    changed.notify_all();
}

void KoLiveChannels::beatChanged() { changed.notify_all(); }

void KoLiveChannels::tick() {
    std::unique_lock<std::mutex> guard(lock);
    while (!stopped) {
        std::vector<std::shared_ptr<KoLiveChannel>> due;
        auto next = KoLiveChannel::Clock::time_point::max();
        const auto now = KoLiveChannel::Clock::now();
        DropExpired(channels);
        for (auto& weak : channels) {
            auto channel = weak.lock();
            if (!channel) continue;
            const auto when = channel->beatDue();
            if (when <= now) {
                due.push_back(std::move(channel));
            } else {
                next = std::min(next, when);
            }
        }
        if (!due.empty()) {
            guard.unlock();
            for (auto& channel : due) channel->beat(now);
            due.clear();
            guard.lock();
            continue;
        }
        if (next == KoLiveChannel::Clock::time_point::max()) {
            changed.wait(guard);
        } else {
            changed.wait_until(guard, next);
        }
    }
}

KoCallbackSequence::KoCallbackSequence(std::shared_ptr<KoLiveChannels> live_) : live(std::move(live_)) {}

void KoCallbackSequence::post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->waiting.push_back(std::move(work));
        if (state->running) return;
        state->running = true;
    }
    submit(state, live);
}

void KoCallbackSequence::submit(const std::shared_ptr<State>& state, const std::shared_ptr<KoLiveChannels>& live) {
    auto held = state;
    auto liveHeld = live;
    if (!live->submit([held, liveHeld] { run(held, liveHeld); })) {
        // The queue ends (the server stops): nothing of this sequence runs.
        std::lock_guard<std::mutex> guard(state->lock);
        state->waiting.clear();
        state->running = false;
    }
}

void KoCallbackSequence::run(const std::shared_ptr<State>& state, const std::shared_ptr<KoLiveChannels>& live) {
    for (int turn = 0;; ++turn) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> guard(state->lock);
            if (state->waiting.empty()) {
                state->running = false;
                return;
            }
            if (turn == kCallbacksPerTurn) break;
            work = std::move(state->waiting.front());
            state->waiting.pop_front();
        }
        work();
    }
    // More wait: they go on behind the other channels' callbacks.
    submit(state, live);
}
