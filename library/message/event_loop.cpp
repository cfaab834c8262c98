#include "message/event_loop.h"

#include <climits>
#include <cstdio>
#include <utility>

#include "foundation/exception.h"
#include "message/spare_buffers.h"
#include "platform/memory.h"

namespace {

// Tag of the wake-up descriptor; watchers are tagged with their address.
constexpr std::uint64_t wakeTag = 0;

thread_local KoEventLoop* currentLoop = nullptr;

void writeToStandardOutput(std::string_view lines) {
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

KoEventLoop::KoEventLoop(std::size_t index) : index_(index), scratch_(new char[scratchSize]) {
    if (!wake_.valid()) throw KoException("event loop: no wake-up: " + wake_.error().text(), __LINE__, "kotransceiver");
    if (!poller_.add(wake_.fd(), platform::readable, wakeTag))
        throw KoException("event loop: no wait set", __LINE__, "kotransceiver");
}

KoEventLoop::~KoEventLoop() {
    stop();
    flushLog();
    // Timers and idlers that outlive the loop must not reach back into it.
    for (Timer* timer : heap_) {
        timer->slot_ = Timer::npos;
        timer->loop_ = nullptr;
    }
    heap_.clear();
    for (Idler* idler = idleHead_; idler != nullptr;) {
        Idler* next = idler->next_;
        idler->prev_ = idler->next_ = nullptr;
        idler->resting_ = false;
        idler->loop_ = nullptr;
        idler = next;
    }
    idleHead_ = idleTail_ = nullptr;
    restingCount_ = 0;
}

KoEventLoop::Timer::~Timer() {
    if (loop_ != nullptr && armed()) loop_->disarm(*this);
}

KoEventLoop::Idler::~Idler() {
    if (loop_ != nullptr && resting_) loop_->unrest(*this);
}

KoEventLoop* KoEventLoop::current() { return currentLoop; }

bool KoEventLoop::onLoopThread() const { return thread_.load(std::memory_order_acquire) == std::this_thread::get_id(); }

void KoEventLoop::stop() {
    {
        std::lock_guard<std::mutex> lock(taskLock_);
        stopped_.store(true, std::memory_order_release);
    }
    wake_.signal();
    // A loop that is not running (its thread may never come) drops what was
    // posted to it now: whoever waits for a task to run or go must not wait
    // for ever. A run() that starts later returns at once.
    std::vector<Task> dropped;
    {
        std::lock_guard<std::mutex> run(runLock_);
        if (runs_) return;
        std::lock_guard<std::mutex> lock(taskLock_);
        dropped.swap(tasks_);
    }
}

bool KoEventLoop::post(Task task) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(taskLock_);
        if (stopped_.load(std::memory_order_relaxed)) return false;  // task goes with this frame
        first = tasks_.empty();
        tasks_.push_back(std::move(task));
    }
    // One signal wakes the loop for every task queued before it looks.
    if (first) wake_.signal();
    return true;
}

void KoEventLoop::awaitEnd() {
    std::unique_lock<std::mutex> lock(runLock_);
    runEnded_.wait(lock, [this] { return !runs_; });
}

void KoEventLoop::run() {
    {
        std::lock_guard<std::mutex> lock(runLock_);
        runs_ = true;
    }
    thread_.store(std::this_thread::get_id(), std::memory_order_release);
    KoEventLoop* const outer = currentLoop;
    currentLoop = this;
    // What its connections let go of serves the next ones; freed here.
    const spare_buffers::ThreadSpares spares;
    while (!stopped()) pass();
    std::vector<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(taskLock_);
        dropped.swap(tasks_);
    }
    dropped.clear();
    deferred_.clear();
    flushLog();
    retired_.clear();
    kept_.clear();
    currentLoop = outer;
    {
        std::lock_guard<std::mutex> lock(runLock_);
        runs_ = false;
    }
    runEnded_.notify_all();
}

int KoEventLoop::waitTimeoutMs() const {
    if (!deferred_.empty()) return 0;
    bool any = false;
    Clock::time_point next{};
    if (!heap_.empty()) {
        next = heap_.front()->key_;
        any = true;
    }
    if (idleHead_ != nullptr) {
        const Clock::time_point idleDue = idleHead_->since_ + idleTimeout_;
        if (!any || idleDue < next) next = idleDue;
        any = true;
    }
    if (!any) return -1;
    if (next <= now_) return 0;
    // Rounded up: waking a little early would only find nothing due.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now_).count();
    return wait > INT_MAX ? INT_MAX : static_cast<int>(wait);
}

void KoEventLoop::pass() {
    now_ = Clock::now();
    int timeout = waitTimeoutMs();
    // What a burst's connections let go of goes back to the system once
    // the burst is over: when a short wait finds nothing to do. Under a
    // steady load, the heap keeps it for the next requests.
    // Idlers that rested since the last quiet wait are told the same way:
    // they are the tail of the idle list.
    const bool toReturn = released_ >= releaseThreshold && timeout != 0;
    const bool toQuiet = idleTail_ != nullptr && !idleTail_->quieted_ && timeout != 0;
    if ((toReturn || toQuiet) && (timeout < 0 || timeout > quietWaitMs)) timeout = quietWaitMs;
    const auto waited = poller_.wait(timeout, events_);
    if ((toReturn || toQuiet) && waited.ok() && events_.empty()) {
        // Many told at once: what they let go of is a burst's worth too.
        const std::size_t told = toQuiet ? quietResting() : 0;
        if (toReturn || told >= quietBurst) {
            released_ = 0;
            platform::returnFreeMemory();
        }
    }
    now_ = Clock::now();
    passes_.fetch_add(1, std::memory_order_relaxed);
    if (waited.ok()) {
        for (const auto& event : events_) {
            if (event.tag == wakeTag) {
                wake_.drain();
                continue;
            }
            reinterpret_cast<Watcher*>(static_cast<std::uintptr_t>(event.tag))->ready(event.ready);
        }
    }
    runTasks();
    runTimers();
    runIdleExpiries();
    // Deferred work may defer more: it runs in the next pass, without waiting.
    if (!deferred_.empty()) {
        std::vector<Task> now;
        now.swap(deferred_);
        for (Task& task : now) task();
    }
    flushLog();
    retired_.clear();
}

void KoEventLoop::runTasks() {
    {
        std::lock_guard<std::mutex> lock(taskLock_);
        if (tasks_.empty()) return;
        running_.swap(tasks_);
    }
    for (Task& task : running_) {
        task();
        task = nullptr;  // what it holds goes now, in order
    }
    running_.clear();
}

bool KoEventLoop::watch(int fd, unsigned interest, Watcher& watcher) {
    return poller_.add(fd, interest, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&watcher)));
}

bool KoEventLoop::rewatch(int fd, unsigned interest) { return poller_.modify(fd, interest); }

void KoEventLoop::unwatch(int fd) { poller_.remove(fd); }

// --- timers --------------------------------------------------------------

void KoEventLoop::place(std::size_t slot, Timer* timer) {
    heap_[slot] = timer;
    timer->slot_ = slot;
}

void KoEventLoop::siftUp(std::size_t slot) {
    Timer* timer = heap_[slot];
    while (slot > 0) {
        const std::size_t parent = (slot - 1) / 2;
        if (!(timer->key_ < heap_[parent]->key_)) break;
        place(slot, heap_[parent]);
        slot = parent;
    }
    place(slot, timer);
}

void KoEventLoop::siftDown(std::size_t slot) {
    Timer* timer = heap_[slot];
    const std::size_t size = heap_.size();
    for (;;) {
        std::size_t child = 2 * slot + 1;
        if (child >= size) break;
        if (child + 1 < size && heap_[child + 1]->key_ < heap_[child]->key_) ++child;
        if (!(heap_[child]->key_ < timer->key_)) break;
        place(slot, heap_[child]);
        slot = child;
    }
    place(slot, timer);
}

void KoEventLoop::removeAt(std::size_t slot) {
    Timer* removed = heap_[slot];
    Timer* last = heap_.back();
    heap_.pop_back();
    removed->slot_ = Timer::npos;
    removed->loop_ = nullptr;
    if (last == removed) return;
    place(slot, last);
    if (slot > 0 && last->key_ < heap_[(slot - 1) / 2]->key_) {
        siftUp(slot);
    } else {
        siftDown(slot);
    }
}

void KoEventLoop::arm(Timer& timer, Clock::time_point due) {
    // Armed on another loop: it stays there.
    if (timer.armed() && timer.loop_ != this) return;
    timer.due_ = due;
    if (!timer.armed()) {
        timer.loop_ = this;
        timer.key_ = due;
        heap_.push_back(&timer);
        timer.slot_ = heap_.size() - 1;
        siftUp(timer.slot_);
    } else if (due < timer.key_) {
        timer.key_ = due;
        siftUp(timer.slot_);
    }
    // Later than its place: it moves on when its place comes up.
}

void KoEventLoop::disarm(Timer& timer) {
    if (timer.armed() && timer.loop_ == this) removeAt(timer.slot_);
}

void KoEventLoop::runTimers() {
    while (!heap_.empty() && heap_.front()->key_ <= now_) {
        Timer* timer = heap_.front();
        // A deadline moved back keeps its old place until it comes up; it
        // takes its true place first, so that due timers fire in order even
        // when the loop is late.
        if (timer->due_ != timer->key_) {
            timer->key_ = timer->due_;
            siftDown(0);
            continue;
        }
        removeAt(0);
        timer->expired();
    }
}

// --- idlers --------------------------------------------------------------

void KoEventLoop::rest(Idler& idler) {
    if (idler.resting_ && idler.loop_ != this) return;  // resting on another loop
    if (idler.resting_) unrest(idler);
    idler.since_ = now_;
    idler.resting_ = true;
    idler.quieted_ = false;
    idler.loop_ = this;
    idler.prev_ = idleTail_;
    idler.next_ = nullptr;
    if (idleTail_ != nullptr) {
        idleTail_->next_ = &idler;
    } else {
        idleHead_ = &idler;
    }
    idleTail_ = &idler;
    ++restingCount_;
}

std::size_t KoEventLoop::quietResting() {
    std::size_t told = 0;
    for (Idler* idler = idleTail_; idler != nullptr && !idler->quieted_; ++told) {
        Idler* before = idler->prev_;
        idler->quieted_ = true;
        idler->quiet();
        idler = before;
    }
    return told;
}

void KoEventLoop::unrest(Idler& idler) {
    if (!idler.resting_ || idler.loop_ != this) return;
    if (idler.prev_ != nullptr) {
        idler.prev_->next_ = idler.next_;
    } else {
        idleHead_ = idler.next_;
    }
    if (idler.next_ != nullptr) {
        idler.next_->prev_ = idler.prev_;
    } else {
        idleTail_ = idler.prev_;
    }
    idler.prev_ = idler.next_ = nullptr;
    idler.resting_ = false;
    idler.loop_ = nullptr;
    --restingCount_;
}

void KoEventLoop::runIdleExpiries() {
    while (idleHead_ != nullptr && idleHead_->since_ + idleTimeout_ <= now_) {
        Idler* idler = idleHead_;
        unrest(*idler);
        idler->idleExpired();
    }
}

// --- end of pass -----------------------------------------------------------

void KoEventLoop::defer(Task task) { deferred_.push_back(std::move(task)); }

void KoEventLoop::retire(std::shared_ptr<void> object) { retired_.push_back(std::move(object)); }

void KoEventLoop::keep(const void* key, std::shared_ptr<void> object) {
    for (auto& [held, kept] : kept_) {
        if (held != key) continue;
        kept = std::move(object);
        return;
    }
    kept_.emplace_back(key, std::move(object));
}

std::shared_ptr<void> KoEventLoop::take(const void* key) {
    for (auto& [held, kept] : kept_)
        if (held == key) return std::move(kept);
    return nullptr;
}

void KoEventLoop::log(std::string_view line) {
    logBuffer_.append(line);
    logBuffer_.push_back('\n');
    if (logBuffer_.size() >= logFlushBytes) flushLog();
}

void KoEventLoop::flushLog() {
    if (logBuffer_.empty()) return;
    if (logWriter_) {
        logWriter_(logBuffer_);
    } else {
        writeToStandardOutput(logBuffer_);
    }
    logBuffer_.clear();
    // A burst leaves no large buffer behind on an idle loop.
    if (logBuffer_.capacity() > 4 * logFlushBytes) logBuffer_.shrink_to_fit();
}
