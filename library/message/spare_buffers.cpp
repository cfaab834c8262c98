#include "message/spare_buffers.h"

#include <utility>

namespace {

struct Spares {
    std::vector<std::string> strings;
    std::vector<std::vector<KoOutputPiece>> queues;
    ~Spares();
};

// Read after the thread's spares are gone (a connection freed as its thread
// ends), so a plain flag: it needs no destruction.
thread_local bool sparesGone = false;
thread_local Spares spares;

Spares::~Spares() { sparesGone = true; }

}  // namespace

namespace spare_buffers {

std::string takeString() {
    if (sparesGone || spares.strings.empty()) return {};
    std::string bytes = std::move(spares.strings.back());
    spares.strings.pop_back();
    return bytes;
}

void give(std::string&& bytes) {
    std::string taken = std::move(bytes);
    bytes.clear();
    // A string within its own inline storage has nothing worth keeping.
    if (sparesGone || taken.capacity() <= std::string().capacity() || taken.capacity() > largest) return;
    if (spares.strings.size() >= kept) return;
    if (spares.strings.capacity() == 0) spares.strings.reserve(kept);
    taken.clear();
    spares.strings.push_back(std::move(taken));
}

std::vector<KoOutputPiece> takeQueue() {
    if (sparesGone || spares.queues.empty()) return {};
    std::vector<KoOutputPiece> queue = std::move(spares.queues.back());
    spares.queues.pop_back();
    return queue;
}

void give(std::vector<KoOutputPiece>&& queue) {
    std::vector<KoOutputPiece> taken = std::move(queue);
    queue.clear();
    for (KoOutputPiece& piece : taken) give(std::move(piece.own));
    if (sparesGone || taken.capacity() == 0 || taken.capacity() * sizeof(KoOutputPiece) > largest) return;
    if (spares.queues.size() >= kept) return;
    if (spares.queues.capacity() == 0) spares.queues.reserve(kept);
    taken.clear();
    spares.queues.push_back(std::move(taken));
}

}  // namespace spare_buffers
