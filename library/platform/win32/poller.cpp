#include "platform/poller.h"

#include <chrono>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/win32/wide_text.h"

namespace platform {
namespace {

SHORT toPollEvents(unsigned interest) {
    // WSAPoll refuses POLLPRI and takes POLLRDNORM/POLLWRNORM.
    SHORT events = 0;
    if (interest & readable) events |= POLLRDNORM;
    if (interest & writable) events |= POLLWRNORM;
    return events;
}

unsigned fromPollEvents(SHORT revents) {
    unsigned ready = 0;
    if (revents & (POLLRDNORM | POLLRDBAND)) ready |= readable;
    if (revents & POLLWRNORM) ready |= writable;
    // WSAPoll reports a peer that finished sending as hung up only; reads
    // give the end of the stream, as the interface promises.
    if (revents & POLLHUP) ready |= hangup | readable;
    if (revents & POLLERR) ready |= failed;
    if (revents & POLLNVAL) ready |= invalid;
    return ready;
}

int waitWithNothing(int timeoutMs) {
    // WSAPoll fails on an empty set; waiting on nothing is a sleep.
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return 0;
}

}  // namespace

Result<std::size_t> waitDescriptors(const int* fds, unsigned* ready, std::size_t count, unsigned interest,
                                    int timeoutMs) {
    constexpr std::size_t maxDescriptors = 8;
    if (count > maxDescriptors) return Error(WSAEINVAL);
    win32::ensureWinsock();
    WSAPOLLFD entries[maxDescriptors];
    std::size_t used = 0;
    std::size_t slot[maxDescriptors];
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = 0;
        if (fds[i] < 0) continue;
        entries[used] = WSAPOLLFD{win32::toSocket(fds[i]), toPollEvents(interest), 0};
        slot[used++] = i;
    }
    if (used == 0) return static_cast<std::size_t>(waitWithNothing(timeoutMs < 0 ? INFINITE : timeoutMs));
    const int rc = ::WSAPoll(entries, static_cast<ULONG>(used), timeoutMs < 0 ? -1 : timeoutMs);
    if (rc == SOCKET_ERROR) return Error(::WSAGetLastError());
    for (std::size_t i = 0; i < used; ++i) ready[slot[i]] = fromPollEvents(entries[i].revents);
    return static_cast<std::size_t>(rc);
}

Result<unsigned> waitDescriptor(int fd, unsigned interest, int timeoutMs) {
    unsigned ready = 0;
    const auto waited = waitDescriptors(&fd, &ready, 1, interest, timeoutMs);
    if (!waited.ok()) return waited.error();
    return ready;
}

// WSAPoll over one array of the watched sockets: a wait costs what is
// watched, but it is level-triggered readiness as the loops above expect,
// with no change to how they read and write. An I/O completion port would
// cost what is ready, but it reports finished operations, not readiness,
// so every read and write above this layer would have to become an
// overlapped one.
struct Poller::Impl {
    std::vector<WSAPOLLFD> entries;
    std::vector<std::uint64_t> tags;      // beside entries
    std::vector<unsigned> interests;      // beside entries
    std::unordered_map<int, std::size_t> index;  // descriptor -> position

    const std::size_t* find(int fd) const {
        auto at = index.find(fd);
        return at == index.end() ? nullptr : &at->second;
    }
};

Poller::Poller() : impl_(std::make_unique<Impl>()) { win32::ensureWinsock(); }
Poller::~Poller() = default;

bool Poller::add(int fd, unsigned interest, std::uint64_t tag) {
    if (fd < 0 || impl_->find(fd) != nullptr) return false;
    // Only sockets can be watched.
    int type = 0;
    int length = sizeof type;
    if (::getsockopt(win32::toSocket(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0)
        return false;
    impl_->index.emplace(fd, impl_->entries.size());
    impl_->entries.push_back(WSAPOLLFD{win32::toSocket(fd), toPollEvents(interest), 0});
    impl_->tags.push_back(tag);
    impl_->interests.push_back(interest);
    return true;
}

bool Poller::modify(int fd, unsigned interest) {
    const std::size_t* at = impl_->find(fd);
    if (at == nullptr || (impl_->interests[*at] & exclusive) != 0) return false;
    impl_->entries[*at].events = toPollEvents(interest);
    impl_->interests[*at] = interest;
    return true;
}

unsigned Poller::interest(int fd) const {
    const std::size_t* at = impl_->find(fd);
    return at == nullptr ? 0u : impl_->interests[*at];
}

bool Poller::remove(int fd) { return forget(fd); }

bool Poller::forget(int fd) {
    auto found = impl_->index.find(fd);
    if (found == impl_->index.end()) return false;
    const std::size_t at = found->second;
    const std::size_t last = impl_->entries.size() - 1;
    impl_->index.erase(found);
    if (at != last) {
        // The last entry fills the gap.
        impl_->entries[at] = impl_->entries[last];
        impl_->tags[at] = impl_->tags[last];
        impl_->interests[at] = impl_->interests[last];
        impl_->index[win32::fromSocket(impl_->entries[at].fd)] = at;
    }
    impl_->entries.pop_back();
    impl_->tags.pop_back();
    impl_->interests.pop_back();
    return true;
}

bool Poller::contains(int fd) const { return impl_->find(fd) != nullptr; }

std::size_t Poller::size() const { return impl_->entries.size(); }

Result<std::size_t> Poller::wait(int timeoutMs, std::vector<Event>& events) {
    events.clear();
    if (impl_->entries.empty()) return static_cast<std::size_t>(waitWithNothing(timeoutMs < 0 ? INFINITE : timeoutMs));
    for (WSAPOLLFD& entry : impl_->entries) entry.revents = 0;
    const int rc = ::WSAPoll(impl_->entries.data(), static_cast<ULONG>(impl_->entries.size()),
                             timeoutMs < 0 ? -1 : timeoutMs);
    if (rc == SOCKET_ERROR) return Error(::WSAGetLastError());
    for (std::size_t i = 0; i < impl_->entries.size() && events.size() < static_cast<std::size_t>(rc); ++i) {
        const WSAPOLLFD& entry = impl_->entries[i];
        if (entry.revents == 0) continue;
        events.push_back(Event{win32::fromSocket(entry.fd), impl_->tags[i], fromPollEvents(entry.revents)});
    }
    return events.size();
}

}  // namespace platform
