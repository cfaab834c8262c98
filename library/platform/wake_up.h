// Platform: a descriptor that one thread makes readable to wake another that
// waits on it in a Poller (an eventfd on Linux; on Windows, where only
// sockets can be waited on, one end of a loopback socket pair).
//
// signal() may be called from any thread, any number of times; signals
// coalesce until the waiting thread calls drain(). Creation fails only when
// the process is out of descriptors; valid() tells.
#pragma once

#include "platform/descriptor.h"
#include "platform/error.h"

namespace platform {

class WakeUp {
public:
    WakeUp();

    bool valid() const { return fd_.valid(); }
    // The creation error when !valid().
    Error error() const { return error_; }
    int fd() const { return fd_.get(); }

    void signal();
    // Makes the descriptor unreadable again until the next signal().
    void drain();

private:
    Descriptor fd_;
    Descriptor signalEnd_;  // the pair's other end, where one is needed
    Error error_;
};

}  // namespace platform
