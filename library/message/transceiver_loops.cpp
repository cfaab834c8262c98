// The event loops of KoTransceiver: starting and ending them, what a loop
// does with the connections it owns and the listeners it watches, and the
// housekeeping thread.
#include <chrono>
#include <exception>
#include <future>
#include <thread>
#include <utility>

#include "foundation/diagnostics.h"
#include "foundation/exception.h"
#include "jobs/kessa_scheduler.h"
#include "message/transceiver.h"
#include "message/transceiver_connection.h"
#include "message/transceiver_layer.h"
#include "net/socket_ipvx.h"
#include "platform/poller.h"

namespace {

// Send steps per connection and visit, so that one large answer does not
// keep the other connections of the loop waiting.
constexpr int sendRoundsPerVisit = 8;
// Answers served per connection and visit while output drains between them.
constexpr int serveRoundsPerVisit = 4;

template <class Step>
int guardedStep(Step&& step) {
    try {
        return step();
    } catch (const std::exception& error) {
        diagnostic(std::string("connection step failed: ") + error.what());
        return KoTransceiverConnection::stepClosed;
    } catch (...) {
        return KoTransceiverConnection::stepClosed;
    }
}

}  // namespace

// One listening socket as one loop watches it.
struct KoTransceiver::ListenerWatch : KoEventLoop::Watcher, KoEventLoop::Timer {
    ListenerWatch(KoTransceiver& owner_, KoListenerService& service_, int fd_, KoEventLoop& loop_)
        : owner(owner_), service(service_), fd(fd_), loop(loop_) {}
    // The wait set never keeps the address of a watch that is gone (the
    // timer base disarms itself).
    ~ListenerWatch() {
        if (watching) loop.unwatch(fd);
    }

    void start() { watching = loop.watch(fd, platform::readable | platform::exclusive, *this); }

    void end() {
        ended = true;
        if (watching) loop.unwatch(fd);
        watching = false;
        loop.disarm(*this);
    }

    void ready(unsigned) override {
        if (ended) return;
        if (service.acceptReady(fd) != KoListenerService::Accepted::outOfDescriptors) return;
        // Room for new clients: the longest-idle connections go first, here
        // and on the other loops.
        const std::size_t shed = owner.shedIdle(owner.settings.shedBatch);
        for (auto& record : owner.loops) {
            if (record->loop.get() == &loop) continue;
            record->loop->post([&transceiver = owner] { transceiver.shedIdle(transceiver.settings.shedBatch); });
        }
        if (shed != 0) return;  // the socket is still ready: accept again next pass
        // Nothing to close here: leave the socket alone for a while rather
        // than wake for it again and again.
        loop.unwatch(fd);
        watching = false;
        loop.arm(*this, loop.now() + service.acceptPause());
    }

    void expired() override {
        if (!ended && !watching) start();
    }

    KoTransceiver& owner;
    KoListenerService& service;
    const int fd;
    KoEventLoop& loop;
    bool watching = false;
    bool ended = false;
};

// --- starting and ending the loops -------------------------------------------

void KoTransceiver::startLoops() {
    std::lock_guard<std::mutex> lock(loopsLock);
    if (loopsStarted || loopsStopped) return;
    loopsStarted = true;
    for (auto& record : loops) {
        KoEventLoop* loop = record->loop.get();
        KoKessaJobOptions options;
        options.name = "KoTransceiver_tcp_loop" + std::to_string(loop->index()) + name;
        options.callback = [loop](KoKessaJobParametersAndResult* p) {
            loop->stop();
            return p;
        };
        record->job = scheduler.submit(
            [loop](KoKessaJobParametersAndResult* p) {
                loop->run();
                return p;
            },
            nullptr, options);
    }
}

void KoTransceiver::StopLoops() {
    {
        std::lock_guard<std::mutex> lock(loopsLock);
        loopsStopped = true;
    }
    for (auto& record : loops) record->loop->stop();
    // A loop that stops itself cannot wait for its own end; its connections
    // go with the transceiver.
    for (auto& record : loops)
        if (record->loop->onLoopThread()) return;
    endLoops();
}

void KoTransceiver::endLoops() {
    for (auto& record : loops) {
        std::optional<std::uint64_t> job;
        {
            std::lock_guard<std::mutex> lock(loopsLock);
            job.swap(record->job);
        }
        if (job) scheduler.cancelAndWait(*job);
    }
    // The loops have ended: what they held is let go on this thread.
    std::lock_guard<std::mutex> ended(endedLoopsLock);
    for (auto& record : loops) {
        std::vector<std::shared_ptr<KoTransceiverConnection>> members;
        {
            std::lock_guard<std::mutex> lock(record->membersLock);
            members.swap(record->members);
        }
        for (auto& connection : members) {
            unregister(*connection);
            if (connection->seat().attached) record->loop->unwatch(connection->seat().fd);
            connection->seat().attached = false;
            connection->seat().letGo = true;
            record->loop->disarm(*connection);
            record->loop->unrest(*connection);
            connection->seat().socket.reset();
        }
    }
}

void KoTransceiver::LoopRecord::add(std::shared_ptr<KoTransceiverConnection> connection) {
    connection->seat().memberSlot = static_cast<std::uint32_t>(members.size());
    members.push_back(std::move(connection));
}

std::shared_ptr<KoTransceiverConnection> KoTransceiver::LoopRecord::take(KoTransceiverConnection& connection) {
    const std::uint32_t slot = connection.seat().memberSlot;
    if (slot >= members.size() || members[slot].get() != &connection) return nullptr;
    std::shared_ptr<KoTransceiverConnection> taken = std::move(members[slot]);
    if (slot + 1 != members.size()) {
        members[slot] = std::move(members.back());
        members[slot]->seat().memberSlot = slot;
    }
    members.pop_back();
    connection.seat().memberSlot = KoLoopSeat::noSlot;
    return taken;
}

KoTransceiver::LoopRecord& KoTransceiver::loopFor(KoEventLoop* loop) { return *loops[loop->index()]; }

KoTransceiver::LoopRecord& KoTransceiver::pickLoop() {
    LoopRecord* least = loops.front().get();
    for (auto& record : loops)
        if (record->load.load(std::memory_order_relaxed) < least->load.load(std::memory_order_relaxed))
            least = record.get();
    KoEventLoop* here = KoEventLoop::current();
    if (here != nullptr && here->index() < loops.size() && loops[here->index()]->loop.get() == here) {
        // Accepted here: it stays unless this loop is ahead of the least busy.
        LoopRecord& own = *loops[here->index()];
        if (own.load.load(std::memory_order_relaxed) <= least->load.load(std::memory_order_relaxed) + 1) return own;
        return *least;
    }
    // From another thread: the least busy loop, taking turns among equals.
    const std::size_t start = nextLoop.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t i = 0; i < loops.size(); ++i) {
        LoopRecord& record = *loops[(start + i) % loops.size()];
        if (record.load.load(std::memory_order_relaxed) == least->load.load(std::memory_order_relaxed)) return record;
    }
    return *least;
}

// --- registering connections -------------------------------------------------

bool KoTransceiver::Attach(std::shared_ptr<KoSocketIPvx> socket, std::shared_ptr<KoTransceiverConnection> connection,
                           const std::string&) {
    if (!socket || !connection) throw KoException("socket and connection must be defined", 1906, "src");
    if (loopsStopped) return false;
    auto expected = KoLoopSeat::Phase::fresh;
    if (!connection->seat().phase.compare_exchange_strong(expected, KoLoopSeat::Phase::registered)) return false;

    LoopRecord& record = pickLoop();
    connection->seat().fd = socket->fd() >= 0 ? socket->fd() : socket->fd4();
    connection->seat().socket = std::move(socket);
    connection->seat().loop.store(record.loop.get(), std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(record.membersLock);
        record.add(connection);
    }
    openConnections.fetch_add(1, std::memory_order_relaxed);
    record.load.fetch_add(1, std::memory_order_relaxed);
    if (connection->seat().openCount) connection->seat().openCount->fetch_add(1, std::memory_order_relaxed);

    startLoops();
    if (record.loop->onLoopThread()) {
        attachOnLoop(connection);
    } else if (!record.loop->post([this, connection] { attachOnLoop(connection); })) {
        // The loops stopped meanwhile: it was never served.
        unregister(*connection);
        std::lock_guard<std::mutex> lock(record.membersLock);
        record.take(*connection);
        return false;
    }
    return true;
}

void KoTransceiver::attachOnLoop(const std::shared_ptr<KoTransceiverConnection>& connection) {
    KoTransceiverConnection& c = *connection;
    if (!c.Registered() || c.seat().letGo) {
        detachOnLoop(c);  // removed before its loop took it in
        return;
    }
    KoEventLoop& loop = *c.Loop();
    if (c.seat().fd < 0 || !loop.watch(c.seat().fd, platform::readable, c)) {
        closeOnLoop(c, true, false);
        return;
    }
    c.seat().attached = true;
    c.seat().interest = platform::readable;
    c.touch();
    c.attached();
    if (!c.seat().attached) return;
    // Output queued before it was registered, or input a handshake left;
    // a fresh peer's connection only waits for its first bytes.
    if (c.WantsToSend() || c.TransportHoldsInput() || c.wantsToServe() || c.finished()) {
        drive(c, c.TransportHoldsInput() ? platform::readable : 0u);
    } else {
        updateInterest(c);
        updateDeadline(c);
    }
}

// --- serving a connection on its loop ------------------------------------------

void KoTransceiver::drive(KoTransceiverConnection& c, unsigned events) {
    if (!c.seat().attached) return;
    if ((events & platform::failed) != 0 || (events & (platform::hangup | platform::readable)) == platform::hangup) {
        // Reset, or gone both ways: nothing more can be said.
        closeOnLoop(c, true, false);
        return;
    }
    c.seat().driving = true;
    if ((events & platform::writable) != 0) c.seat().writeBlocked = false;
    if ((events & platform::readable) != 0 && !c.seat().inputEnded && c.wantsInput()) {
        const int n = guardedStep([&] { return c.ReceiveStep(*c.seat().socket); });
        if (n > 0) {
            c.inputReady();
        } else if (n == KoTransceiverConnection::stepClosed) {
            if (c.seat().attached && c.PeerFinished()) {
                c.seat().inputEnded = true;
                c.inputEnded();
            } else {
                closeOnLoop(c, true, false);
            }
        }
    }
    if (c.seat().attached) afterWork(c);
    c.seat().driving = false;
}

void KoTransceiver::afterWork(KoTransceiverConnection& c) {
    // Output queued by the hooks below is written here, not revisited.
    struct Driving {
        bool& flag;
        const bool was;
        explicit Driving(bool& f) : flag(f), was(f) { flag = true; }
        ~Driving() { flag = was; }
    } driving(c.seat().driving);
    int round = 0;
    for (;; ++round) {
        if (!flush(c) || !c.seat().attached) return;
        if (c.finished()) {
            closeOnLoop(c, false, true);
            return;
        }
        if (round >= serveRoundsPerVisit || !c.wantsToServe()) break;
        c.inputReady();
        if (!c.seat().attached) return;
    }
    if (!c.WantsToSend()) {
        c.outputDrained();
        if (!c.seat().attached) return;
        if (c.finished()) {
            closeOnLoop(c, false, true);
            return;
        }
    }
    // Work left (answers held back, a long write, input the transport
    // holds): the connection comes back at the end of the pass, after the
    // others had their turn.
    if ((c.wantsToServe() && round >= serveRoundsPerVisit) || (!c.seat().writeBlocked && c.WantsToSend()) ||
        (!c.seat().inputEnded && c.TransportHoldsInput() && c.wantsInput())) {
        c.revisit();
    }
    updateInterest(c);
    updateDeadline(c);
}

bool KoTransceiver::flush(KoTransceiverConnection& c) {
    for (int round = 0; round < sendRoundsPerVisit && !c.seat().writeBlocked && c.WantsToSend(); ++round) {
        const int n = guardedStep([&] { return c.SendStep(*c.seat().socket); });
        if (n < 0) {
            closeOnLoop(c, true, false);
            return false;
        }
        if (n == KoTransceiverConnection::stepWouldBlock) c.seat().writeBlocked = true;
    }
    return true;
}

void KoTransceiver::updateInterest(KoTransceiverConnection& c) {
    if (!c.seat().attached) return;
    unsigned wanted = 0;
    if (!c.seat().inputEnded && c.wantsInput()) wanted |= platform::readable;
    if (c.seat().writeBlocked && c.WantsToSend()) wanted |= platform::writable;
    if (wanted == c.seat().interest) return;
    if (c.Loop()->rewatch(c.seat().fd, wanted)) c.seat().interest = wanted;
}

void KoTransceiver::updateDeadline(KoTransceiverConnection& c) {
    // A closed connection is never armed again: it may be gone by the time
    // its deadline comes.
    if (!c.seat().attached) return;
    KoEventLoop& loop = *c.Loop();
    const auto due = c.deadline();
    if (due == KoTransceiverConnection::Clock::time_point::max()) {
        loop.disarm(c);
    } else {
        loop.arm(c, due);
    }
}

void KoTransceiver::closeOnLoop(KoTransceiverConnection& c, bool notify, bool orderly) {
    if (c.seat().attached) c.closing(orderly);
    const bool wasRegistered = unregister(c);
    detachOnLoop(c);
    if (wasRegistered && notify && c.tellsOwnerOfEnd()) postEnded(c.owner(), c.name);
}

void KoTransceiver::detachOnLoop(KoTransceiverConnection& c) {
    KoEventLoop* loop = c.Loop();
    if (loop == nullptr) return;
    // Taken out of the wait set before it closes, even when nothing else
    // here holds it: a child process being spawned holds a copy of every
    // descriptor until it starts its program, and a socket closed then would
    // stay in the set and report its peer's reset for the next connection
    // given its number.
    if (c.seat().attached) loop->unwatch(c.seat().fd);
    c.seat().attached = false;
    c.seat().letGo = true;
    loop->disarm(c);
    loop->unrest(c);
    // The loop let go of the descriptor before it closes, so a new
    // connection may reuse its number at once.
    c.seat().socket.reset();
    std::shared_ptr<KoTransceiverConnection> held;
    {
        LoopRecord& record = loopFor(loop);
        std::lock_guard<std::mutex> lock(record.membersLock);
        held = record.take(c);
        if (!held) return;
    }
    // Destroyed at the end of the pass, never inside one of its own calls.
    if (loop->onLoopThread()) loop->retire(std::move(held));
}

std::size_t KoTransceiver::shedIdle(std::size_t count) { return shedIdleCountedIn(nullptr, count); }

std::size_t KoTransceiver::shedIdleCountedIn(const std::atomic<std::size_t>* counter, std::size_t count) {
    KoEventLoop* loop = KoEventLoop::current();
    if (loop == nullptr) return 0;
    std::size_t shed = 0;
    KoEventLoop::Idler* candidate = loop->oldestResting();
    while (shed < count && candidate != nullptr) {
        auto& connection = static_cast<KoTransceiverConnection&>(*candidate);
        candidate = KoEventLoop::nextResting(*candidate);
        if (counter != nullptr && connection.seat().openCount.get() != counter) continue;
        loop->unrest(connection);
        closeOnLoop(connection, false, false);
        ++shed;
    }
    return shed;
}

bool KoTransceiver::ShedIdleCountedIn(const std::shared_ptr<std::atomic<std::size_t>>& counter) {
    if (!counter) return false;
    if (shedIdleCountedIn(counter.get(), 1) != 0) return true;
    KoEventLoop* here = KoEventLoop::current();
    for (auto& record : loops) {
        if (record->loop.get() == here) continue;
        record->loop->post([this, counter] { shedIdleCountedIn(counter.get(), 1); });
    }
    return false;
}

std::vector<KoTransceiver::LoopState> KoTransceiver::LoopStates() {
    std::vector<LoopState> states(loops.size());
    {
        std::lock_guard<std::mutex> lock(loopsLock);
        if (!loopsStarted || loopsStopped) return states;
    }
    for (std::size_t i = 0; i < loops.size(); ++i) {
        LoopRecord* record = loops[i].get();
        LoopState* state = &states[i];
        const auto look = [record, state] {
            KoEventLoop& loop = *record->loop;
            {
                std::lock_guard<std::mutex> lock(record->membersLock);
                state->connections = record->members.size();
            }
            state->armedTimers = loop.armedTimers();
            state->resting = loop.restingCount();
            state->watched = loop.watchedCount();
        };
        if (record->loop->onLoopThread()) {
            look();
            continue;
        }
        auto done = std::make_shared<std::promise<void>>();
        auto seen = done->get_future();
        if (!record->loop->post([look, done] {
                look();
                done->set_value();
            }))
            continue;
        try {
            seen.get();
        } catch (const std::future_error&) {
        }
    }
    return states;
}

void KoTransceiver::DropConnections(const std::string& owner) {
    {
        std::lock_guard<std::mutex> lock(loopsLock);
        if (!loopsStarted || loopsStopped) return;
    }
    std::vector<std::future<void>> acknowledged;
    for (auto& record : loops) {
        KoEventLoop* loop = record->loop.get();
        LoopRecord* held = record.get();
        const auto work = [this, held, owner] {
            std::vector<std::shared_ptr<KoTransceiverConnection>> doomed;
            {
                std::lock_guard<std::mutex> lock(held->membersLock);
                for (auto& connection : held->members)
                    if (connection->owner() == owner) doomed.push_back(connection);
            }
            for (auto& connection : doomed) closeOnLoop(*connection, false, false);
        };
        if (loop->onLoopThread()) {
            work();
            continue;
        }
        auto done = std::make_shared<std::promise<void>>();
        acknowledged.push_back(done->get_future());
        if (!loop->post([work, done] {
                work();
                done->set_value();
            })) {
            done->set_value();
        }
    }
    for (auto& ack : acknowledged) {
        try {
            ack.get();
        } catch (const std::future_error&) {
        }
    }
}

// --- listeners -------------------------------------------------------------------

void KoTransceiver::Listen(KoListenerService& service, const std::vector<int>& fds) {
    if (loopsStopped) return;
    std::vector<ListenerWatch*> made;
    {
        std::lock_guard<std::mutex> lock(listenersLock);
        for (int fd : fds) {
            if (fd < 0) continue;
            for (auto& record : loops) {
                listeners.push_back(std::make_shared<ListenerWatch>(*this, service, fd, *record->loop));
                made.push_back(listeners.back().get());
            }
        }
    }
    startLoops();
    for (ListenerWatch* watch : made) {
        if (watch->loop.onLoopThread()) {
            watch->start();
        } else {
            watch->loop.post([watch] { watch->start(); });
        }
    }
}

void KoTransceiver::Unlisten(KoListenerService& service) {
    std::vector<std::shared_ptr<ListenerWatch>> ending;
    {
        std::lock_guard<std::mutex> lock(listenersLock);
        for (auto it = listeners.begin(); it != listeners.end();) {
            if (&(*it)->service == &service) {
                ending.push_back(std::move(*it));
                it = listeners.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Each loop lets go of its watch; a stopped loop calls nobody any more.
    // A loop that is stopping may still be in its last pass: once it has
    // ended, its wait set and timers are changed here, never at the same
    // time as endLoops changes them.
    const auto endOnceTheLoopHasEnded = [this](ListenerWatch& watch) {
        watch.loop.awaitEnd();
        std::lock_guard<std::mutex> ended(endedLoopsLock);
        watch.end();
    };
    std::vector<std::future<void>> acknowledged;
    std::vector<ListenerWatch*> posted;  // the watch of each acknowledgement
    for (auto& watch : ending) {
        ListenerWatch* raw = watch.get();
        if (raw->loop.onLoopThread()) {
            raw->end();
            continue;
        }
        auto done = std::make_shared<std::promise<void>>();
        acknowledged.push_back(done->get_future());
        posted.push_back(raw);
        if (!raw->loop.post([raw, done] {
                raw->end();
                done->set_value();
            })) {
            endOnceTheLoopHasEnded(*raw);
            done->set_value();
        }
    }
    for (std::size_t i = 0; i < acknowledged.size(); ++i) {
        // A loop that stops with the task queued drops it (and the promise):
        // the watch is ended here then, not by its destructor on this thread
        // while endLoops may be changing the same wait set.
        try {
            acknowledged[i].get();
        } catch (const std::future_error&) {
            endOnceTheLoopHasEnded(*posted[i]);
        }
    }
}

// --- housekeeping ------------------------------------------------------------------

void KoTransceiver::wakeHousekeeping() {
    {
        std::lock_guard<std::mutex> lock(housekeepingLock);
        housekeepingNudged = true;
    }
    housekeepingWake.notify_all();
}

void KoTransceiver::runHousekeeping() {
    while (housekeeping) {
        bool anyCanExpire = false;
        housekeepingPass(anyCanExpire);
        std::unique_lock<std::mutex> lock(housekeepingLock);
        const auto woken = [this] { return !housekeeping.load() || housekeepingNudged; };
        if (anyCanExpire) {
            housekeepingWake.wait_for(lock, settings.housekeepingInterval, woken);
        } else {
            // Nothing can expire: sleep until a server that can is added.
            housekeepingWake.wait(lock, woken);
        }
        housekeepingNudged = false;
    }
}

void KoTransceiver::housekeepingPass(bool& anyCanExpire) {
    std::map<std::string, std::shared_ptr<KoTransceiverLayer>> servers;
    {
        std::lock_guard<std::recursive_mutex> lock(registryLock);
        servers = serversByName;
    }
    // Checked outside every lock: a layer's check may take its own.
    std::vector<std::pair<std::string, std::string>> expiredServers;  // name, connection tag
    for (auto& [serverName, layer] : servers) {
        if (!layer->canExpire()) continue;
        anyCanExpire = true;
        if (layer->checkTimedOut()) expiredServers.emplace_back(serverName, layer->connectionTagText());
    }
    servers.clear();
    for (const auto& [serverName, tag] : expiredServers) {
        postEnded(tag, serverName);
        KoJobMessage stop;
        stop.code = job_code::status;
        stop.name = serverName;
        send(serverName, stop);
        RemoveServer(serverName);
    }
}
