// Platform: readiness waits over descriptors (poll and epoll; never select,
// whose sets overflow at descriptor 1024). On Windows: WSAPoll over sockets
// only, with a wake-up socket pair. It keeps the level-triggered readiness
// that the loops are written for; an I/O completion port would scale
// better but reports finished overlapped operations, so every read and
// write above this layer would have to change with it. A Windows wait costs
// what is watched, and a WSAPoll older than Windows 10 2004 does not report
// a refused non-blocking connect.
//
// waitDescriptor() waits for one descriptor. A Poller keeps an interest set
// of many descriptors, each with a caller's tag, and waits for any of them;
// adding, changing and removing are O(1), a wait costs what is ready, not
// what is watched (epoll, level-triggered). A Poller belongs to
// one thread (the loop that waits on it); other threads that need to change
// it post their change to that loop and signal a WakeUp it watches.
// A wait cut short by a signal reports nothing ready, not an error.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/error.h"

namespace platform {

// Interest and readiness bits.
enum Readiness : unsigned {
    readable = 1u,
    writable = 2u,
    hangup = 4u,   // the peer closed; reads give end of stream
    failed = 8u,   // an error is pending on the descriptor
    invalid = 16u, // not an open descriptor
    // Interest only: of several pollers that watch one descriptor with this
    // bit, a readiness wakes one waiting poller, not all (a listening socket
    // shared by several loops). Set when adding; modify() keeps it.
    exclusive = 32u,
};

// Waits up to timeoutMs (negative: no limit) until fd is ready for interest;
// returns the ready bits (0 on time-out). hangup, failed and invalid are
// reported whatever the interest. A negative fd waits the full time.
Result<unsigned> waitDescriptor(int fd, unsigned interest, int timeoutMs);
// The same over a few descriptors at once (negative ones are skipped):
// ready[i] gets the bits of fds[i]; returns how many are ready. Opens no
// descriptor of its own, so it works when none is left to open.
Result<std::size_t> waitDescriptors(const int* fds, unsigned* ready, std::size_t count, unsigned interest,
                                    int timeoutMs);

class Poller {
public:
    struct Event {
        int fd;
        std::uint64_t tag;
        unsigned ready;
    };

    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // Returns false when fd is negative, already present or cannot be
    // watched (closed, or a regular file).
    bool add(int fd, unsigned interest, std::uint64_t tag);
    // Returns false when fd is not present. An exclusive descriptor cannot
    // change its interest (remove and add it again).
    bool modify(int fd, unsigned interest);
    bool remove(int fd);
    // Drops fd from the table without a system call, for a descriptor that
    // is closed right after and has no other copy: closing it takes it out
    // of the kernel's set. False when fd is not present.
    bool forget(int fd);
    bool contains(int fd) const;
    // The interest fd was added or modified with (0 when absent).
    unsigned interest(int fd) const;
    std::size_t size() const;

    // Waits up to timeoutMs (negative: no limit) and replaces events with the
    // ready descriptors. Returns the number of events.
    Result<std::size_t> wait(int timeoutMs, std::vector<Event>& events);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
