// Message layer, exchange engine: KoTransceiverConnection, the per-socket
// object served by a KoTransceiver.
//
// Once registered (KoTransceiver::AddConnection) a connection belongs to one
// of the transceiver's event loops for the rest of its life: that loop alone
// reads and writes its socket, runs its hooks below and closes it. Received
// bytes go to the input buffer through ReceiveStep/InputArrived. The base
// then posts a code-8 job message (text = this connection's name) to the
// owner, the protocol layer, which takes the bytes with TakeInput from its
// own thread. A layer that serves its connections on their loop instead
// (the HTTP layers) overrides the hooks and never needs a message or a name.
//
// Output is queued with QueueBuffer/QueueBytes from any thread; the loop
// writes it with SendStep, which never blocks: what the socket does not
// take stays at the head of the queue until the socket is writable again.
// Output queued from another thread asks the loop to write it (a posted
// task), so no other thread ever writes on the socket.
//
// The loop drives it through KoLoopDriven alone (its transport steps and the
// hooks below) and keeps its record of it in the KoLoopSeat.
//
// ReceiveStep and SendStep are the transport steps; a TLS connection
// overrides both (and TransportHoldsInput, for decrypted bytes the loop
// must fetch without a readiness event).
//
// Deadlines: the base connection is dropped after the transceiver's idle
// time-out without input or output (its owner told by code 1); subclasses
// give their own deadline() and deadlinePassed().
//
// Threads: the owning loop calls the steps and the hooks; any thread may
// queue output, take input, Reset, or ask for removal (KoTransceiver).
// Input and output have their own locks. The connection holds a plain
// reference to the transceiver, which outlives every connection it serves.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/small_lock.h"
#include "foundation/string_buf.h"
#include "jobs/job_with_timeout.h"
#include "message/event_loop.h"
#include "message/loop_seat.h"
#include "message/output_piece.h"
#include "message/protocols.h"
#include "message/server_callback.h"

class KoSocketIPvx;
class KoTransceiver;
class KoTransceiverConnection;

// What Process calls to end a connection: a plain function (every layer's
// is one), a word where a std::function would take four in each connection.
using KoConnectionHandler = void (*)(KoTransceiver&, KoTransceiverConnection&);

class KoTransceiverConnection : public KoJobWithTimeout,
                                public KoLoopDriven,
                                public std::enable_shared_from_this<KoTransceiverConnection>,
                                public KoEventLoop::Watcher,
                                public KoEventLoop::Timer,
                                public KoEventLoop::Idler {
public:
    using Clock = KoEventLoop::Clock;

    // Bytes read from the socket per receive step.
    static constexpr std::size_t receiveChunk = 16 * 1024;
    // Bytes handed to the socket per send step at most. Larger writes (with
    // larger file chunks) saved no measurable time on 100 MiB answers: the
    // copies and the kernel's own segment work cost the same per byte.
    static constexpr std::size_t sendChunk = 64 * 1024;

    // The idle time-out comes from the transceiver's settings.
    KoTransceiverConnection(KoTransceiver& transceiver, const std::string& owner, const std::string& peer,
                            const KoServerCallback_t& record, KoConnectionHandler handler);
    ~KoTransceiverConnection() override;

    // Input or output: restarts the idle time-out (on the loop's clock).
    void touch() override;

    // Drops buffered input and queued output, leaves the joined task.
    virtual void Reset();
    // Ends the connection: clears the alive flag and calls the handler
    // (which removes the connection from the transceiver). Throws
    // std::bad_function_call without one.
    virtual void Process();
    // Takes ownership of a non-empty buffer's unread bytes and hands the
    // caller a fresh empty one; an absent or empty buffer changes nothing.
    virtual void QueueBuffer(std::unique_ptr<KoStringBuf>& buffer);
    virtual void QueueBytes(const char* bytes, std::size_t length, std::size_t& accepted);
    // The unsent bytes of the first queued text (at most limit of them),
    // without consuming them.
    virtual void PendingOutput(std::string& out, std::size_t limit = std::string::npos);
    // The unsent bytes of the queue in order, across its texts (at most limit
    // of them), without consuming them.
    void GatherOutput(std::string& out, std::size_t limit);
    // Drops count sent bytes from the head of the queue (they may span
    // several texts).
    virtual void OutputSent(std::size_t count);
    // Writes what the socket takes now: the queued texts in one gathered
    // write, at most sendChunk bytes. Returns the bytes sent, stepWouldBlock
    // when the socket is full (or nothing was queued), stepClosed when the
    // connection failed and must be removed.
    int SendStep(KoSocketIPvx& socket) override;
    // Appends received bytes and tells the owner; with no bytes it does
    // nothing and returns 0.
    virtual int InputArrived(const char* bytes, std::size_t length);
    // Reads what the socket has. Returns the bytes read, stepWouldBlock when
    // there was nothing after all, stepClosed at end of stream or on failure
    // (PeerFinished tells which).
    int ReceiveStep(KoSocketIPvx& socket) override;
    // Moves all buffered input to out.
    virtual void TakeInput(KoStringBuf& out);
    void TakeInput(std::string& out);

    // Whether there is something for a send step to do now. The base: when
    // output is queued. A TLS connection also while its handshake or a read
    // waits to write, and not while a write waits for the peer's bytes.
    bool WantsToSend() const override { return OutputWaiting(); }
    // Input the transport holds that no readiness event announces (bytes a
    // TLS library has decrypted already); the loop reads it without waiting.
    bool TransportHoldsInput() const override { return false; }
    // After a receive step reported stepClosed: the peer ended its stream in
    // order (it may still read what is sent), rather than failing.
    bool PeerFinished() const override;

    // The connection ended, or its peer hung up or failed (a look at the
    // socket that reads nothing); any thread.
    bool PeerGone() const;

    bool OutputWaiting() const { return outputWaiting.load(); }
    bool InputWaiting() const { return inputWaiting.load(); }
    std::size_t QueuedBytes() const;

    // Registered with a transceiver and not removed since.
    bool Registered() const { return seat().phase.load(std::memory_order_acquire) == KoLoopSeat::Phase::registered; }
    // The loop that owns it once registered, else null.
    KoEventLoop* Loop() const { return seat().loop.load(std::memory_order_acquire); }
    // In its loop's wait set, served by it; on the loop only. Once the loop
    // let go of it (closed, or removed before it was taken in) it is never
    // attached or registered with the loop again: whoever still holds it
    // stops at once.
    bool Attached() const { return seat().attached; }
    // Looks at the connection again (write, serve, close, deadline) at the
    // end of the loop's pass; on the loop.
    void revisit();
    // Asks the owning loop to write what is queued; from any thread.
    void requestFlush();
    // The time of the last input or output.
    Clock::time_point LastActivity() const;
    // Counts this connection in counter while it is registered (set before
    // registering it): a listener's limit on open connections.
    void CountIn(std::shared_ptr<std::atomic<std::size_t>> counter) { seat().openCount = std::move(counter); }

    // The record the connection was made with (the kind-5 event of its
    // accept). It is kept in parts: the values its listener's connections
    // share once for all of them, and the peer's address and port; the whole
    // record is put together the first time it is asked for.
    const KoServerCallback_t& record() const;
    // One value of the record, empty when it has none; puts nothing together.
    std::string recordValue(const std::string& key) const;
    // The record's "remoteaddress" where it lies (an access-log line's first field).
    const std::string& RemoteAddress() const { return remoteAddress_; }
    // The record's values as a map of their own (a message's description).
    KoStringMap recordValues() const;
    // Calls visit(key, value) for each of the record's values in key order,
    // copying none.
    template <typename Visit>
    void forEachRecordValue(Visit&& visit) const {
        static const std::string remoteAddressKey = "remoteaddress", remotePortKey = "remoteport";
        bool addressDue = hasRemoteAddress_, portDue = hasRemotePort_;
        for (const auto& [key, value] : shared_->values) {
            if (addressDue && remoteAddressKey < key) {
                visit(remoteAddressKey, remoteAddress_);
                addressDue = false;
            }
            if (portDue && remotePortKey < key) {
                visit(remotePortKey, std::to_string(remotePort_));
                portDue = false;
            }
            visit(key, value);
        }
        if (addressDue) visit(remoteAddressKey, remoteAddress_);
        if (portDue) visit(remotePortKey, std::to_string(remotePort_));
    }

    // What the connections of one listener have in common: the names below
    // and the record's values but the peer's own. Each connection shares
    // one copy instead of holding its own.
    struct Shared {
        std::string owner;
        std::string peer;
        KoStringMap values;
    };

private:
    std::shared_ptr<const Shared> shared_;

public:
    // The names given at construction; shared, not copied.
    const std::string& owner() const { return shared_->owner; }
    const std::string& peer() const { return shared_->peer; }
    KoTransceiver& transceiver;
    const std::int32_t kind;

    // --- what its loop asks of it (KoLoopDriven), on the loop's thread ----
    // The base's answers; subclasses give their own.
    // The connection has just joined its loop's wait set.
    void attached() override {}
    // A receive step appended bytes. The base told its owner already.
    void inputReady() override {}
    // Whether the loop should read now; the base always reads.
    bool wantsInput() const override { return true; }
    // Work left that the connection can do without new input (answers
    // held back while output drains); the loop then calls inputReady again
    // once the queue has been written.
    bool wantsToServe() const override { return false; }
    // The peer ended its stream in order. The base closes, telling its
    // owner.
    void inputEnded() override;
    // The loop wrote everything that was queued.
    void outputDrained() override {}
    // Everything is said: the loop closes the connection (without telling
    // the owner) once this is true after a write.
    bool finished() const override { return false; }
    // Right before the loop lets go of the socket; orderly tells whether the
    // connection ends as planned (finished) rather than by failure or peer.
    void closing(bool orderly) override { (void)orderly; }
    // When the loop must look at the connection again without input: the
    // base, the idle time-out after the last activity; max() for none.
    Clock::time_point deadline() const override;
    // deadline() has come. The base removes the connection, telling its
    // owner by code 1.
    void deadlinePassed() override;
    // The connection rested (rest()) for the loop's idle time-out. The base
    // removes it quietly.
    void restExpired() override;
    // Whether the owner is told by code 1 when the loop ends the connection.
    bool tellsOwnerOfEnd() const override { return true; }


protected:
    // --- for subclasses, on the owning loop's thread ------------------------
    // Keeps the connection in the loop's idle list (oldest first: expired
    // after the idle time-out, shed first when descriptors run out) until
    // unrest() or the next input. Nothing once it is no longer attached.
    void rest();
    void unrest();
    bool resting() const { return KoEventLoop::Idler::resting(); }
    // Lets go of buffer space kept from earlier traffic (a resting
    // connection holds no more than it needs).
    void releaseBufferSpace();
    // On the owning loop: writes what is queued now, as far as the socket
    // takes it (the rest when it is writable again).
    void flushNow();
    // The connection will be reset when it closes, not ended in order; on
    // the loop, before it lets go of the socket.
    void resetOnClose();

    // The locks and flags side by side: every connection has them, and apart
    // each would take a word of its own.
    mutable KoSmallLock inputLock;
    std::atomic<bool> inputWaiting{false};
    std::atomic<bool> outputWaiting{false};
    mutable KoSmallLock outputLock;

    // Under inputLock: the bytes received and not yet taken; none until
    // input comes, and none again once the connection lets go of its
    // buffer space.
    std::unique_ptr<std::string> inputBuffer;
    // Under inputLock: appends to the input buffer (taken from the thread's
    // spares when there is none) and raises inputWaiting.
    void appendInputLocked(const char* bytes, std::size_t length);
    // Under outputLock; none until output is queued, and none again once
    // the connection lets go of its buffer space.
    std::unique_ptr<KoOutputQueue> outputQueue;

    KoConnectionHandler handler;

    // Under outputLock: drops count sent bytes across the queued texts and
    // refreshes the waiting flag, then lets a subclass refill the queue.
    void consumeSentLocked(std::size_t count);
    // Under outputLock: one gathered write of the queue's unsent texts (at
    // most sendChunk bytes), the bytes written consumed. fileFollows: a file
    // goes out right behind the queue, so a write that takes the queue to
    // its end lets the kernel hold it back to leave with the file. Returns
    // the bytes written, 0 with nothing queued, stepWouldBlock or stepClosed.
    int writeQueuedLocked(KoSocketIPvx& socket, bool fileFollows);
    virtual void afterSentLocked() {}
    void refreshOutputWaitingLocked();
    bool outputEmptyLocked() const { return !outputQueue || outputQueue->empty(); }
    // Under outputLock: the bytes queued and not yet sent.
    std::size_t unsentLocked() const;
    void pushOutputLocked(std::string bytes);
    // Under outputLock: the queue to append to, emptied of what was sent,
    // or taken from the thread's spares.
    KoOutputQueue& emptiedOrTakenQueueLocked();
    // length bytes of shared from offset, held (not copied) until sent.
    void pushSharedLocked(std::shared_ptr<const std::string> shared, std::size_t offset, std::size_t length);

private:
    // KoEventLoop callbacks.
    void ready(unsigned events) override;
    void expired() override;
    void idleExpired() override;

    // The part of a new connection's record it shares: the values but the
    // peer's address and (canonical) port.
    static std::shared_ptr<const Shared> SharedPart(const std::string& owner, const std::string& peer,
                                                    const KoStringMap& values);

    std::string remoteAddress_;
    // A port in its canonical decimal form is kept as a number; any other
    // "remoteport" value stays among the shared values.
    std::uint16_t remotePort_ = 0;
    bool hasRemoteAddress_ = false;
    bool hasRemotePort_ = false;
    mutable std::atomic<const KoServerCallback_t*> wholeRecord_{nullptr};
};
