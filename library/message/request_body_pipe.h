// Message layer: KoRequestBodyPipe, a request body passed as it arrives from
// the loop of the connection that reads it to the thread of the handler
// that consumes it (an upload route): KoBodyStream's other direction.
//
// The loop pushes decoded body bytes without ever waiting and asks full()
// before it reads more: past `bound` held bytes it stops feeding the pipe,
// and so, once its own input buffer is full, stops reading the socket. The
// handler's take() waits for bytes; when it has taken the pipe down to half
// the bound after the loop found it full, the room callable tells the loop
// to go on. So a client uploading a gigabyte costs the bound plus what the
// loop feeds at once (a slice), never the body.
//
// The loop ends the pipe (end): complete after the body's last byte, cut
// when the client went, the body timed out, its framing was broken or the
// server stops. The reader gets the bytes held first, then the end. A reader
// that wants no more (its handler answered) abandons the pipe: what is held
// is dropped, and so is everything pushed from then on.
//
// Ownership: shared by the request (the loop's side) and the handler's
// reader. Threads: push, full, end and setRoom from the loop; take and
// abandon from the reader's thread; end also from any thread (the server
// stops). Everything is under the pipe's lock; the room callable runs on
// the reader's thread outside it. Nothing throws but std::bad_alloc.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class KoRequestBodyPipe {
public:
    // Bytes held for a handler before the connection stops reading.
    static constexpr std::size_t defaultBound = 256 * 1024;
    enum class Taken { bytes, ended, cut };

    // declared: the announced length, or -1 when the body's end is not
    // known in advance (chunked).
    explicit KoRequestBodyPipe(std::int64_t declared = -1, std::size_t bound = defaultBound);
    KoRequestBodyPipe(const KoRequestBodyPipe&) = delete;
    KoRequestBodyPipe& operator=(const KoRequestBodyPipe&) = delete;

    // --- the loop ---------------------------------------------------------------
    // Adds bytes (dropped once abandoned or ended); never waits.
    void push(std::string_view bytes);
    // Whether the loop should push no more for now; if so, it waits for room.
    bool full();
    // Whether the loop waits for room (full() said so, and no room came yet).
    bool waitingForReader() const;
    void end(bool complete);
    // Called when a full pipe has room again, or was abandoned.
    void setRoom(std::function<void()> room);
    // Called, on the reader's thread, each time `every` more bytes have been
    // taken, when the reader has emptied the pipe, and when it abandons it
    // (a window of credit the loop gives back to its peer).
    void setTakenNotice(std::function<void()> notice, std::size_t every);

    // --- the reader -------------------------------------------------------------
    // Waits for the next bytes (at most max) into out, or the end.
    Taken take(std::string& out, std::size_t max);
    void abandon();

    bool abandoned() const;
    bool ended() const;
    std::int64_t declared() const { return declared_; }
    // Body bytes pushed so far (dropped ones included), and taken.
    std::uint64_t received() const;
    std::uint64_t taken() const;
    // Bytes held now; the most held at once by any pipe of this process (a
    // figure for tests and monitoring), and its reset.
    std::size_t held() const;
    static std::size_t largestHeld();
    static void resetLargestHeld();

private:
    const std::int64_t declared_;
    const std::size_t bound;
    mutable std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::string> pieces;
    std::size_t headOffset = 0;
    std::size_t heldBytes = 0;
    std::uint64_t receivedBytes = 0;
    std::uint64_t takenBytes = 0;
    bool endedFlag = false;
    bool completeFlag = false;
    bool gone = false;
    bool starved = false;  // the loop found it full and waits for room
    std::function<void()> room;
    std::function<void()> takenNotice;
    std::size_t noticeEvery = 0;
    std::uint64_t noticedAt = 0;  // bytes taken when last told
};
