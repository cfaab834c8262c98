// Message layer: KoBodyStream, the body of an answer whose length nobody
// knows in advance (a script's output), passed from the thread that makes
// it to the loop of the connection that sends it.
//
// The maker pushes pieces; push() waits while more than `bound` bytes are
// held, so the maker (and whatever feeds it: a pipe, a FastCGI socket) is
// held up as long as the client takes nothing: at most bound plus one piece
// is ever held. The connection takes pieces without blocking and is woken
// (its wake callable, set once it holds the stream) when a piece arrives at
// an empty stream or the stream ends.
//
// Ownership: shared by its maker and its reader. The reader's handle
// (reader()) abandons the stream when the last copy of it goes, so an
// answer that never reached its connection, or a connection that closed,
// lets the maker stop at once; the maker's ending (end) is final.
// Threads: the maker calls push and end from one thread; take, setWake and
// abandon from any thread (the connection's loop); everything is under the
// stream's lock, and the wake callable runs on the maker's thread outside
// it. Nothing throws but std::bad_alloc.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class KoBodyStream {
public:
    using Clock = std::chrono::steady_clock;
    using Wake = std::function<void()>;
    enum class Taken { bytes, empty, ended, cut };

    explicit KoBodyStream(std::size_t bound);
    KoBodyStream(const KoBodyStream&) = delete;
    KoBodyStream& operator=(const KoBodyStream&) = delete;

    // The handle a reader holds: when its last copy goes, the stream is
    // abandoned (a no-op once it has ended).
    static std::shared_ptr<KoBodyStream> reader(const std::shared_ptr<KoBodyStream>& stream);

    // --- the maker -----------------------------------------------------------
    // Waits (until deadline) while more than the bound is held, then adds the
    // bytes. False when the reader is gone, the stream was abandoned or the
    // deadline passed: the maker should stop.
    bool push(std::string bytes, Clock::time_point deadline);
    // No more bytes: complete (the reader ends the body properly) or cut (the
    // reader ends the connection so the client sees a truncated body).
    void end(bool complete);

    // --- the reader -----------------------------------------------------------
    // Up to max bytes into out (bytes), or what the stream is: empty for now,
    // ended after its last byte, or cut.
    Taken take(std::string& out, std::size_t max);
    // Whether take() would give something other than empty.
    bool ready() const;
    void setWake(Wake wake);
    // Nobody wants the rest (the reader is gone, or the server stops): what
    // is held is dropped and push() fails from now on. A reader still there
    // learns of the end from the maker's end().
    void abandon();

    bool abandoned() const;
    // Bytes held now, and the most held at once by this stream.
    std::size_t held() const;
    std::size_t peakHeld() const;
    // The most held at once by any stream of this process (a figure for
    // tests and monitoring), and its reset.
    static std::size_t largestHeld();
    static void resetLargestHeld();

private:
    const std::size_t bound;
    mutable std::mutex lock;
    std::condition_variable room;
    std::deque<std::string> pieces;
    std::size_t headOffset = 0;  // bytes of the first piece already taken
    std::size_t heldBytes = 0;
    std::size_t peak = 0;
    bool ended = false;
    bool complete = false;
    bool gone = false;
    Wake wake;
};
