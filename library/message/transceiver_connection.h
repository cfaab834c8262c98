// Message layer, exchange engine: KoTransceiverConnection, the per-socket
// object served by a KoTransceiver.
//
// The transceiver's receive loop feeds received bytes into the input buffer
// through ReceiveStep/InputArrived; each arrival posts a code-8 job message
// (text = this connection's name) to the owner, the protocol layer, which
// then takes the bytes with TakeInput. The layer queues answers with
// QueueBuffer/QueueBytes and calls KoTransceiver::WakeSender; the send loop
// writes them with SendStep, which never blocks: what the socket does not
// take stays at the head of the queue for the next writable event.
//
// ReceiveStep and SendStep are the transport steps; a TLS connection
// overrides both (and InputArrived with no bytes, which the receive loop calls
// on every pass, to drain bytes the TLS library holds).
//
// Threads: the receive loop calls ReceiveStep and InputArrived, the send loop
// SendStep, PendingOutput and OutputSent, the layer's threads TakeInput,
// QueueBuffer, QueueBytes and Reset. Input and output have their own locks.
// The connection holds a plain reference to the transceiver, which outlives
// every connection it serves.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/string_buf.h"
#include "jobs/job_with_timeout.h"
#include "message/server_callback.h"

class KoSocketIPvx;
class KoTransceiver;
class KoTransceiverConnection;

using KoConnectionHandler = std::function<void(KoTransceiver&, KoTransceiverConnection&)>;

class KoTransceiverConnection : public KoJobWithTimeout {
public:
    // Bytes read from the socket per receive step.
    static constexpr std::size_t receiveChunk = 16 * 1024;
    // Bytes handed to the socket per send step at most.
    static constexpr std::size_t sendChunk = 64 * 1024;

    // Results of the transport steps.
    static constexpr int stepWouldBlock = 0;
    static constexpr int stepClosed = -1;

    // The idle time-out comes from the transceiver's settings.
    KoTransceiverConnection(KoTransceiver& transceiver, std::string owner, std::string peer,
                            const KoServerCallback_t& record, KoConnectionHandler handler);
    ~KoTransceiverConnection() override;

    bool attachToJoinedTask(const std::string& joinedTaskName) override;
    bool leaveCurrentJoinedTask(const std::string& joinedTaskName) override;

    // Drops buffered input and queued output, leaves the joined task.
    virtual void Reset();
    // Ends the connection: clears the alive flag and calls the handler
    // (which removes the connection from the transceiver). Throws
    // std::bad_function_call without a handler.
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
    virtual int SendStep(KoSocketIPvx& socket);
    // SendStep, unless another thread is in a send step of this connection
    // (the send loop, or a layer writing an answer at once); stepped tells
    // whether the step ran. One send step at a time keeps the bytes in order.
    // Input the step left in the transport wakes the receive loop.
    int TrySendStep(KoSocketIPvx& socket, bool& stepped);
    // Appends received bytes and tells the owner; with no bytes it does
    // nothing and returns 0 (the receive loop calls it so on every pass).
    virtual int InputArrived(const char* bytes, std::size_t length);
    // Reads what the socket has. Returns the bytes read, stepWouldBlock when
    // there was nothing after all, stepClosed at end of stream or on failure.
    virtual int ReceiveStep(KoSocketIPvx& socket);
    // Moves all buffered input to out.
    virtual void TakeInput(KoStringBuf& out);
    void TakeInput(std::string& out);

    // Whether the send loop should step this connection now. The base: when
    // output is queued. A TLS connection also while its handshake or a read
    // waits to write, and not while a write waits for the peer's bytes.
    virtual bool WantsToSend() const { return OutputWaiting(); }
    // Input the transport holds that no readiness event announces (bytes a
    // TLS library has decrypted already); the receive loop then drains it
    // with InputArrived(nullptr, 0) before it waits again.
    virtual bool TransportHoldsInput() const { return false; }

    bool OutputWaiting() const { return outputWaiting.load(); }
    bool InputWaiting() const { return inputWaiting.load(); }
    std::size_t QueuedBytes() const;

    const std::string owner;
    const std::string peer;
    KoTransceiver& transceiver;
    const std::int32_t kind;
    const KoServerCallback_t record;

protected:
    mutable std::mutex inputLock;
    std::string inputBuffer;
    std::atomic<bool> inputWaiting{false};

    mutable std::mutex outputLock;
    // Oldest first; headSent counts the bytes of the first text already sent.
    std::deque<std::string> outputQueue;
    std::size_t headSent = 0;
    std::atomic<bool> outputWaiting{false};

    KoConnectionHandler handler;
    std::string currentGroup;

    // Under outputLock: drops count sent bytes across the queued texts and
    // refreshes the waiting flag, then lets a subclass refill the queue.
    void consumeSentLocked(std::size_t count);
    virtual void afterSentLocked() {}
    void refreshOutputWaitingLocked();

private:
    std::mutex sendStepLock;
};
