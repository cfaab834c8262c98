#include "message/request_body_pipe.h"

#include <algorithm>
#include <utility>

#include "message/peak_counter.h"

namespace {

KoPeakCounter largest;

}  // namespace

KoRequestBodyPipe::KoRequestBodyPipe(std::int64_t declared, std::size_t bound_)
    : declared_(declared), bound(std::max<std::size_t>(1, bound_)) {}

void KoRequestBodyPipe::push(std::string_view bytes) {
    if (bytes.empty()) return;
    {
        std::lock_guard<std::mutex> guard(lock);
        receivedBytes += bytes.size();
        if (gone || endedFlag) return;
        pieces.emplace_back(bytes);
        heldBytes += bytes.size();
        largest.note(heldBytes);
    }
    arrived.notify_one();
}

bool KoRequestBodyPipe::full() {
    std::lock_guard<std::mutex> guard(lock);
    if (gone || heldBytes < bound) return false;
    starved = true;
    return true;
}

bool KoRequestBodyPipe::waitingForReader() const {
    std::lock_guard<std::mutex> guard(lock);
    return starved && !gone;
}

void KoRequestBodyPipe::end(bool complete) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (endedFlag) return;
        endedFlag = true;
        completeFlag = complete;
    }
    arrived.notify_all();
}

void KoRequestBodyPipe::setRoom(std::function<void()> callable) {
    std::lock_guard<std::mutex> guard(lock);
    room = std::move(callable);
}

void KoRequestBodyPipe::setTakenNotice(std::function<void()> notice, std::size_t every) {
    std::lock_guard<std::mutex> guard(lock);
    takenNotice = std::move(notice);
    noticeEvery = every;
}

KoRequestBodyPipe::Taken KoRequestBodyPipe::take(std::string& out, std::size_t max) {
    out.clear();
    std::function<void()> toCall, toNotice;
    {
        std::unique_lock<std::mutex> guard(lock);
        arrived.wait(guard, [this] { return gone || endedFlag || !pieces.empty(); });
        if (gone) return Taken::cut;
        if (pieces.empty()) return completeFlag ? Taken::ended : Taken::cut;
        std::string& first = pieces.front();
        const std::size_t count = std::min(std::max<std::size_t>(1, max), first.size() - headOffset);
        if (headOffset == 0 && count == first.size()) {
            out = std::move(first);
            pieces.pop_front();
        } else {
            out.assign(first, headOffset, count);
            headOffset += count;
            if (headOffset == first.size()) {
                pieces.pop_front();
                headOffset = 0;
            }
        }
        heldBytes -= count;
        takenBytes += count;
        // Woken at half the bound, not at every piece taken.
        if (starved && heldBytes <= bound / 2) {
            starved = false;
            toCall = room;
        }
        if (takenNotice && (heldBytes == 0 || takenBytes - noticedAt >= noticeEvery)) {
            noticedAt = takenBytes;
            toNotice = takenNotice;
        }
    }
    if (toCall) toCall();
    if (toNotice) toNotice();
    return Taken::bytes;
}

void KoRequestBodyPipe::abandon() {
    std::function<void()> toCall, toNotice;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (gone) return;
        gone = true;
        pieces.clear();
        headOffset = 0;
        heldBytes = 0;
        // The loop may be waiting for room: it goes on discarding.
        if (starved) toCall = room;
        starved = false;
        toNotice = takenNotice;
    }
    arrived.notify_all();
    if (toCall) toCall();
    if (toNotice) toNotice();
}

bool KoRequestBodyPipe::abandoned() const {
    std::lock_guard<std::mutex> guard(lock);
    return gone;
}

bool KoRequestBodyPipe::ended() const {
    std::lock_guard<std::mutex> guard(lock);
    return endedFlag;
}

std::uint64_t KoRequestBodyPipe::received() const {
    std::lock_guard<std::mutex> guard(lock);
    return receivedBytes;
}

std::uint64_t KoRequestBodyPipe::taken() const {
    std::lock_guard<std::mutex> guard(lock);
    return takenBytes;
}

std::size_t KoRequestBodyPipe::held() const {
    std::lock_guard<std::mutex> guard(lock);
    return heldBytes;
}

std::size_t KoRequestBodyPipe::largestHeld() { return largest.peak(); }

void KoRequestBodyPipe::resetLargestHeld() { largest.reset(); }
