#include "platform/poller.h"

#include <poll.h>

#include <cerrno>
#include <unordered_map>

namespace platform {
namespace {

short toEvents(unsigned interest) {
    short events = 0;
    if (interest & readable) events |= POLLIN | POLLPRI;
    if (interest & writable) events |= POLLOUT;
    return events;
}

unsigned fromEvents(short revents) {
    unsigned ready = 0;
    if (revents & (POLLIN | POLLPRI)) ready |= readable;
    if (revents & POLLOUT) ready |= writable;
    if (revents & (POLLHUP | POLLRDHUP)) ready |= hangup;
    if (revents & POLLERR) ready |= failed;
    if (revents & POLLNVAL) ready |= invalid;
    return ready;
}

}  // namespace

Result<unsigned> waitDescriptor(int fd, unsigned interest, int timeoutMs) {
    pollfd entry{fd, toEvents(interest), 0};
    const int rc = ::poll(&entry, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (rc < 0) {
        if (errno == EINTR) return 0u;
        return Error::last();
    }
    return rc == 0 ? 0u : fromEvents(entry.revents);
}

struct Poller::Impl {
    std::vector<pollfd> entries;
    std::vector<std::uint64_t> tags;            // beside entries, same index
    std::unordered_map<int, std::size_t> index;  // fd -> position
};

Poller::Poller() : impl_(std::make_unique<Impl>()) {}
Poller::~Poller() = default;

bool Poller::add(int fd, unsigned interest, std::uint64_t tag) {
    if (fd < 0 || impl_->index.count(fd)) return false;
    impl_->index.emplace(fd, impl_->entries.size());
    impl_->entries.push_back(pollfd{fd, toEvents(interest), 0});
    impl_->tags.push_back(tag);
    return true;
}

bool Poller::modify(int fd, unsigned interest) {
    auto found = impl_->index.find(fd);
    if (found == impl_->index.end()) return false;
    impl_->entries[found->second].events = toEvents(interest);
    return true;
}

bool Poller::remove(int fd) {
    auto found = impl_->index.find(fd);
    if (found == impl_->index.end()) return false;
    const std::size_t position = found->second;
    const std::size_t last = impl_->entries.size() - 1;
    if (position != last) {
        // Move the last entry into the hole so removal stays O(1).
        impl_->entries[position] = impl_->entries[last];
        impl_->tags[position] = impl_->tags[last];
        impl_->index[impl_->entries[position].fd] = position;
    }
    impl_->entries.pop_back();
    impl_->tags.pop_back();
    impl_->index.erase(found);
    return true;
}

bool Poller::contains(int fd) const { return impl_->index.count(fd) != 0; }

std::size_t Poller::size() const { return impl_->entries.size(); }

Result<std::size_t> Poller::wait(int timeoutMs, std::vector<Event>& events) {
    events.clear();
    const int rc = ::poll(impl_->entries.data(), impl_->entries.size(), timeoutMs < 0 ? -1 : timeoutMs);
    if (rc < 0) {
        if (errno == EINTR) return std::size_t{0};
        return Error::last();
    }
    for (std::size_t i = 0; i < impl_->entries.size() && events.size() < static_cast<std::size_t>(rc); ++i) {
        const pollfd& entry = impl_->entries[i];
        if (entry.revents != 0) events.push_back(Event{entry.fd, impl_->tags[i], fromEvents(entry.revents)});
    }
    return events.size();
}

}  // namespace platform
