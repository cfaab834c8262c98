// Platform: an owned operating-system descriptor (socket, pipe end, eventfd,
// file). Move-only; the destructor closes what it holds. Not thread-safe:
// one owner at a time, though the number it holds may be read by others
// while the owner keeps it open.
#pragma once

namespace platform {

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor (if any) and takes fd.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

}  // namespace platform
