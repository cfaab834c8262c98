#include "platform/descriptor.h"

#include <unistd.h>

namespace platform {

void Descriptor::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        // Linux releases the descriptor even when close reports EINTR, so
        // retrying could close someone else's.
        ::close(fd_);
    }
    fd_ = fd;
}

}  // namespace platform
