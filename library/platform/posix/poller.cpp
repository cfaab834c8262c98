#include "platform/poller.h"

#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/descriptor.h"

namespace platform {
namespace {

short toPollEvents(unsigned interest) {
    short events = 0;
    // A peer that finishes sending is reported as readable and hung up, as by epoll.
    if (interest & readable) events |= POLLIN | POLLPRI | POLLRDHUP;
    if (interest & writable) events |= POLLOUT;
    return events;
}

unsigned fromPollEvents(short revents) {
    unsigned ready = 0;
    if (revents & (POLLIN | POLLPRI)) ready |= readable;
    if (revents & POLLOUT) ready |= writable;
    if (revents & (POLLHUP | POLLRDHUP)) ready |= hangup;
    if (revents & POLLERR) ready |= failed;
    if (revents & POLLNVAL) ready |= invalid;
    return ready;
}

std::uint32_t toEpollEvents(unsigned interest) {
    std::uint32_t events = 0;
    if (interest & exclusive) {
        // The kernel takes nothing but these with EPOLLEXCLUSIVE.
        if (interest & readable) events |= EPOLLIN;
        if (interest & writable) events |= EPOLLOUT;
        return events | EPOLLEXCLUSIVE;
    }
    // A peer that finishes sending is reported as readable and hung up.
    if (interest & readable) events |= EPOLLIN | EPOLLPRI | EPOLLRDHUP;
    if (interest & writable) events |= EPOLLOUT;
    return events;
}

unsigned fromEpollEvents(std::uint32_t events) {
    unsigned ready = 0;
    if (events & (EPOLLIN | EPOLLPRI)) ready |= readable;
    if (events & EPOLLOUT) ready |= writable;
    if (events & (EPOLLHUP | EPOLLRDHUP)) ready |= hangup;
    if (events & EPOLLERR) ready |= failed;
    return ready;
}

// Events taken from the kernel per wait at most.
constexpr int maxEventsPerWait = 256;

}  // namespace

Result<std::size_t> waitDescriptors(const int* fds, unsigned* ready, std::size_t count, unsigned interest,
                                    int timeoutMs) {
    constexpr std::size_t maxDescriptors = 8;
    if (count > maxDescriptors) return Error(EINVAL);
    pollfd entries[maxDescriptors];
    for (std::size_t i = 0; i < count; ++i) {
        entries[i] = pollfd{fds[i], toPollEvents(interest), 0};
        ready[i] = 0;
    }
    const int rc = ::poll(entries, count, timeoutMs < 0 ? -1 : timeoutMs);
    if (rc < 0) {
        if (errno == EINTR) return std::size_t{0};
        return Error::last();
    }
    for (std::size_t i = 0; i < count; ++i) ready[i] = fromPollEvents(entries[i].revents);
    return static_cast<std::size_t>(rc);
}

Result<unsigned> waitDescriptor(int fd, unsigned interest, int timeoutMs) {
    unsigned ready = 0;
    const auto waited = waitDescriptors(&fd, &ready, 1, interest, timeoutMs);
    if (!waited.ok()) return waited.error();
    return ready;
}

// epoll: a wait costs what is ready, not what is watched, so ten thousand
// idle connections cost nothing between events. What the caller gave for
// each descriptor sits in a table indexed by the descriptor (descriptors
// are small numbers, reused as they are closed): no allocation per
// descriptor and no lookup cost per event. Every poller's table spans the
// process's descriptors, its own or not, so an entry is kept small (a tag
// and a byte, in two arrays) and the table grows in steps, not doubling.
struct Poller::Impl {
    // An entry's byte: its interest, and whether it is there at all.
    static constexpr std::uint8_t present = 0x80;
    static_assert((present & (readable | writable | hangup | failed | invalid | exclusive)) == 0,
                  "the present mark is no interest bit");
    static constexpr std::size_t growthStep = 256;

    Descriptor epoll{::epoll_create1(EPOLL_CLOEXEC)};
    std::vector<std::uint64_t> tags;      // by descriptor
    std::vector<std::uint8_t> interests;  // by descriptor: present | interest bits
    std::size_t count = 0;
    std::vector<epoll_event> ready = std::vector<epoll_event>(maxEventsPerWait);

    // The byte of an entry that is there with this interest.
    static std::uint8_t byteFor(unsigned interest) { return static_cast<std::uint8_t>(present | interest); }
    bool has(int fd) const {
        return fd >= 0 && static_cast<std::size_t>(fd) < interests.size() && (interests[fd] & present) != 0;
    }
    void makeRoom(int fd) {
        const std::size_t needed = static_cast<std::size_t>(fd) + 1;
        if (needed <= interests.size()) return;
        const std::size_t size = (needed + growthStep - 1) / growthStep * growthStep;
        tags.reserve(size);
        interests.reserve(size);
        tags.resize(size, 0);
        interests.resize(size, 0);
    }
    bool control(int operation, int fd, unsigned interest) {
        epoll_event event{};
        event.events = toEpollEvents(interest);
        event.data.fd = fd;
        return ::epoll_ctl(epoll.get(), operation, fd, &event) == 0;
    }
};

Poller::Poller() : impl_(std::make_unique<Impl>()) {}
Poller::~Poller() = default;

bool Poller::add(int fd, unsigned interest, std::uint64_t tag) {
    if (fd < 0 || impl_->has(fd)) return false;
    // A descriptor that cannot be watched (closed, not pollable) is refused.
    if (!impl_->control(EPOLL_CTL_ADD, fd, interest)) return false;
    impl_->makeRoom(fd);
    impl_->tags[fd] = tag;
    impl_->interests[fd] = Impl::byteFor(interest);
    ++impl_->count;
    return true;
}

bool Poller::modify(int fd, unsigned interest) {
    if (!impl_->has(fd) || (impl_->interests[fd] & exclusive) != 0) return false;
    if (!impl_->control(EPOLL_CTL_MOD, fd, interest)) return false;
    impl_->interests[fd] = Impl::byteFor(interest);
    return true;
}

unsigned Poller::interest(int fd) const {
    return impl_->has(fd) ? static_cast<unsigned>(impl_->interests[fd] & ~Impl::present) : 0u;
}

bool Poller::remove(int fd) {
    if (!impl_->has(fd)) return false;
    // Fails harmlessly when the descriptor was closed meanwhile: the kernel
    // dropped it from the set then.
    impl_->control(EPOLL_CTL_DEL, fd, 0);
    return forget(fd);
}

bool Poller::forget(int fd) {
    if (!impl_->has(fd)) return false;
    impl_->tags[fd] = 0;
    impl_->interests[fd] = 0;
    --impl_->count;
    return true;
}

bool Poller::contains(int fd) const { return impl_->has(fd); }

std::size_t Poller::size() const { return impl_->count; }

Result<std::size_t> Poller::wait(int timeoutMs, std::vector<Event>& events) {
    events.clear();
    if (!impl_->epoll.valid()) return Error(EBADF);
    const int rc = ::epoll_wait(impl_->epoll.get(), impl_->ready.data(), static_cast<int>(impl_->ready.size()),
                                timeoutMs < 0 ? -1 : timeoutMs);
    if (rc < 0) {
        if (errno == EINTR) return std::size_t{0};
        return Error::last();
    }
    for (int i = 0; i < rc; ++i) {
        const epoll_event& entry = impl_->ready[static_cast<std::size_t>(i)];
        if (!impl_->has(entry.data.fd)) continue;
        events.push_back(Event{entry.data.fd, impl_->tags[entry.data.fd], fromEpollEvents(entry.events)});
    }
    return events.size();
}

}  // namespace platform
