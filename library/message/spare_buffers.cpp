#include "message/spare_buffers.h"

#include <utility>

namespace {

// Blocks of one size.
struct Blocks {
    std::size_t size = 0;
    std::vector<void*> kept;
};
constexpr std::size_t kBlockSizes = 4;

struct Spares {
    std::vector<std::string> strings;
    std::vector<std::vector<KoOutputPiece>> queues;
    Blocks blocks[kBlockSizes];
    ~Spares();
};

// Read after the thread's spares are gone (a connection freed as its thread
// ends), so a plain flag: it needs no destruction.
thread_local bool sparesGone = false;
thread_local Spares spares;

Spares::~Spares() {
    sparesGone = true;
    for (Blocks& sized : blocks) {
        for (void* block : sized.kept) ::operator delete(block);
    }
}

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

void* takeBlock(std::size_t size) {
    if (!sparesGone) {
        for (Blocks& sized : spares.blocks) {
            if (sized.size != size || sized.kept.empty()) continue;
            void* block = sized.kept.back();
            sized.kept.pop_back();
            return block;
        }
    }
    return ::operator new(size);
}

void giveBlock(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    if (!sparesGone) {
        Blocks* place = nullptr;
        for (Blocks& sized : spares.blocks) {
            if (sized.size == size) {
                place = &sized;
                break;
            }
            if (place == nullptr && sized.size == 0) place = &sized;
        }
        if (place != nullptr && place->kept.size() < kept) {
            if (place->kept.capacity() == 0) {
                try {
                    place->kept.reserve(kept);
                } catch (...) {
                    ::operator delete(block);
                    return;
                }
            }
            place->size = size;
            place->kept.push_back(block);
            return;
        }
    }
    ::operator delete(block);
}

}  // namespace spare_buffers
