// Message engine: what the exchange engine and one connection it serves know
// of each other, and nothing more.
//
// KoLoopDriven is what a loop asks of a connection: its transport steps and
// the hooks it runs on the loop's thread. KoLoopSeat is the engine's record
// of the connection: its socket, its place in a loop's wait set and members,
// where its registration stands. KoTransceiver writes the seat (on the
// owning loop, or under the locks named below); the connection reads it
// through its own accessors and marks in it the work it asked the loop for.
// May use: message (event loop), net (the socket, by pointer).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class KoEventLoop;
class KoSocketIPvx;

struct KoLoopSeat {
    enum class Phase { fresh, registered, removed };

    // The loop's thread, once attached.
    std::shared_ptr<KoSocketIPvx> socket;
    int fd = -1;
    unsigned interest = 0;
    bool attached = false;      // in the loop's wait set
    bool letGo = false;         // the loop let go of it for good
    bool writeBlocked = false;  // the socket took no more; wait until writable
    bool inputEnded = false;    // the peer finished sending
    bool revisiting = false;    // a revisit is deferred to the end of the pass
    bool driving = false;       // the loop is in drive(): it writes afterwards
    // Any thread. Beside the loop's flags, where they take no room of their own.
    std::atomic<bool> flushPosted{false};
    // In the transceiver's map by its name (the job's name), under its name lock.
    bool registeredByName = false;

    static constexpr std::uint32_t noSlot = static_cast<std::uint32_t>(-1);
    std::uint32_t memberSlot = noSlot;  // in its loop's members, under their lock
    std::atomic<Phase> phase{Phase::fresh};
    std::atomic<KoEventLoop*> loop{nullptr};
    // A listener's count of its open connections, while registered.
    std::shared_ptr<std::atomic<std::size_t>> openCount;
};

class KoLoopDriven {
public:
    using Clock = std::chrono::steady_clock;

    // Results of the transport steps.
    static constexpr int stepWouldBlock = 0;
    static constexpr int stepClosed = -1;

    // --- transport steps --------------------------------------------------
    // Reads what the socket has: the bytes read, stepWouldBlock, or
    // stepClosed at end of stream or on failure (PeerFinished tells which).
    virtual int ReceiveStep(KoSocketIPvx& socket) = 0;
    // Writes what the socket takes now: the bytes sent, stepWouldBlock, or
    // stepClosed when the connection failed.
    virtual int SendStep(KoSocketIPvx& socket) = 0;
    virtual bool WantsToSend() const = 0;
    // Input the transport holds that no readiness event announces.
    virtual bool TransportHoldsInput() const = 0;
    virtual bool PeerFinished() const = 0;
    // Input or output: restarts the idle time-out.
    virtual void touch() = 0;

    // --- hooks, on the loop's thread ----------------------------------------
    // It has just joined its loop's wait set.
    virtual void attached() = 0;
    // A receive step appended bytes.
    virtual void inputReady() = 0;
    // Whether the loop should read now.
    virtual bool wantsInput() const = 0;
    // Work left that needs no new input (answers held back while output
    // drains): the loop calls inputReady again once the queue is written.
    virtual bool wantsToServe() const = 0;
    // The peer ended its stream in order.
    virtual void inputEnded() = 0;
    // The loop wrote everything that was queued.
    virtual void outputDrained() = 0;
    // Everything is said: the loop closes it once this is true after a write.
    virtual bool finished() const = 0;
    // Right before the loop lets go of the socket; orderly: as planned
    // (finished) rather than by failure or peer.
    virtual void closing(bool orderly) = 0;
    // When the loop must look at it again without input; max() for none.
    virtual Clock::time_point deadline() const = 0;
    virtual void deadlinePassed() = 0;
    // It rested for the loop's idle time-out.
    virtual void restExpired() = 0;
    // Whether its owner is told by code 1 when the loop ends it.
    virtual bool tellsOwnerOfEnd() const = 0;

    KoLoopSeat& seat() { return seat_; }
    const KoLoopSeat& seat() const { return seat_; }

protected:
    ~KoLoopDriven() = default;

private:
    KoLoopSeat seat_;
};
