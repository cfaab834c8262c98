#include "message/body_stream.h"

#include <algorithm>
#include <utility>

#include "message/peak_counter.h"

namespace {

KoPeakCounter largest;

}  // namespace

KoBodyStream::KoBodyStream(std::size_t bound_) : bound(bound_) {}

std::shared_ptr<KoBodyStream> KoBodyStream::reader(const std::shared_ptr<KoBodyStream>& stream) {
    if (!stream) return nullptr;
    return std::shared_ptr<KoBodyStream>(stream.get(), [keep = stream](KoBodyStream* s) { s->abandon(); });
}

bool KoBodyStream::push(std::string bytes, Clock::time_point deadline) {
    Wake toWake;
    {
        std::unique_lock<std::mutex> guard(lock);
        if (!room.wait_until(guard, deadline, [this] { return gone || heldBytes <= bound; })) return false;
        if (gone || ended) return false;
        if (bytes.empty()) return true;
        // The reader found it empty and waits to be told.
        if (heldBytes == 0) toWake = wake;
        heldBytes += bytes.size();
        pieces.push_back(std::move(bytes));
        peak = std::max(peak, heldBytes);
        largest.note(heldBytes);
    }
    if (toWake) toWake();
    return true;
}

void KoBodyStream::end(bool completeBody) {
    Wake toWake;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (ended) return;
        ended = true;
        complete = completeBody;
        toWake = wake;
    }
    if (toWake) toWake();
}

KoBodyStream::Taken KoBodyStream::take(std::string& out, std::size_t max) {
    out.clear();
    {
        std::lock_guard<std::mutex> guard(lock);
        if (pieces.empty()) {
            if (!ended) return Taken::empty;
            return complete ? Taken::ended : Taken::cut;
        }
        std::string& first = pieces.front();
        const std::size_t count = std::min(max, first.size() - headOffset);
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
    }
    room.notify_one();
    return Taken::bytes;
}

bool KoBodyStream::ready() const {
    std::lock_guard<std::mutex> guard(lock);
    return !pieces.empty() || ended;
}

void KoBodyStream::setWake(Wake wakeUp) {
    std::lock_guard<std::mutex> guard(lock);
    wake = std::move(wakeUp);
}

void KoBodyStream::abandon() {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (gone) return;
        gone = true;
        pieces.clear();
        headOffset = 0;
        heldBytes = 0;
    }
    room.notify_all();
}

bool KoBodyStream::abandoned() const {
    std::lock_guard<std::mutex> guard(lock);
    return gone;
}

std::size_t KoBodyStream::held() const {
    std::lock_guard<std::mutex> guard(lock);
    return heldBytes;
}

std::size_t KoBodyStream::peakHeld() const {
    std::lock_guard<std::mutex> guard(lock);
    return peak;
}

std::size_t KoBodyStream::largestHeld() { return largest.peak(); }

void KoBodyStream::resetLargestHeld() { largest.reset(); }
