#include "message/spare_buffers.h"

#include <utility>

namespace spare_buffers {

namespace {

// Blocks of one size.
struct Blocks {
    std::size_t size = 0;
    std::vector<void*> kept;
};
constexpr std::size_t kBlockSizes = 4;

}  // namespace

struct Spares {
    std::vector<std::string> strings;
    std::vector<std::unique_ptr<std::string>> buffers;
    std::vector<std::unique_ptr<KoOutputQueue>> queues;
    std::vector<KoFieldList> fieldLists;
    std::vector<ValueNode> valueNodes;
    Blocks blocks[kBlockSizes];
    ~Spares() {
        for (Blocks& sized : blocks) {
            for (void* block : sized.kept) ::operator delete(block);
        }
    }
};

namespace {

// A plain pointer: it needs no destruction when the thread ends.
thread_local Spares* current = nullptr;

}  // namespace

ThreadSpares::ThreadSpares() {
    if (current != nullptr) return;
    own_ = std::make_unique<Spares>();
    own_->strings.reserve(kept);
    own_->buffers.reserve(kept);
    own_->queues.reserve(kept);
    own_->fieldLists.reserve(keptFieldLists);
    own_->valueNodes.reserve(keptValueNodes);
    for (Blocks& sized : own_->blocks) sized.kept.reserve(kept);
    current = own_.get();
}

ThreadSpares::~ThreadSpares() {
    if (own_ && current == own_.get()) current = nullptr;
}

std::string takeString() {
    if (current == nullptr || current->strings.empty()) return {};
    std::string bytes = std::move(current->strings.back());
    current->strings.pop_back();
    return bytes;
}

void give(std::string&& bytes) {
    std::string taken = std::move(bytes);
    bytes.clear();
    // A string within its own inline storage has nothing worth keeping.
    if (current == nullptr || taken.capacity() <= std::string().capacity() || taken.capacity() > largest) return;
    if (current->strings.size() >= kept) return;
    taken.clear();
    current->strings.push_back(std::move(taken));
}

std::unique_ptr<std::string> takeBuffer() {
    if (current == nullptr || current->buffers.empty()) return std::make_unique<std::string>();
    std::unique_ptr<std::string> buffer = std::move(current->buffers.back());
    current->buffers.pop_back();
    return buffer;
}

void give(std::unique_ptr<std::string>&& buffer) {
    std::unique_ptr<std::string> taken = std::move(buffer);
    if (!taken || current == nullptr || taken->capacity() > largest || current->buffers.size() >= kept) return;
    taken->clear();
    current->buffers.push_back(std::move(taken));
}

std::unique_ptr<KoOutputQueue> takeQueue() {
    if (current == nullptr || current->queues.empty()) return std::make_unique<KoOutputQueue>();
    std::unique_ptr<KoOutputQueue> queue = std::move(current->queues.back());
    current->queues.pop_back();
    return queue;
}

void give(std::unique_ptr<KoOutputQueue>&& queue) {
    std::unique_ptr<KoOutputQueue> taken = std::move(queue);
    if (!taken) return;
    for (KoOutputPiece& piece : taken->pieces) give(std::move(piece.own));
    if (current == nullptr || taken->pieces.capacity() * sizeof(KoOutputPiece) > largest) return;
    if (current->queues.size() >= kept) return;
    taken->pieces.clear();
    taken->headIndex = 0;
    taken->headSent = 0;
    current->queues.push_back(std::move(taken));
}

KoFieldList takeFieldList() {
    if (current == nullptr || current->fieldLists.empty()) return {};
    KoFieldList fields = std::move(current->fieldLists.back());
    current->fieldLists.pop_back();
    return fields;
}

void give(KoFieldList&& fields) {
    // Moved once: into the spares, or out to be let go of.
    if (fields.nodes() == 0 || current == nullptr || current->fieldLists.size() >= keptFieldLists) {
        KoFieldList gone = std::move(fields);
        return;
    }
    fields.clear();
    if (fields.room() > fieldListRoom) {
        KoFieldList gone = std::move(fields);
        return;
    }
    current->fieldLists.push_back(std::move(fields));
}

ValueNode takeValueNode() {
    if (current == nullptr || current->valueNodes.empty()) return {};
    ValueNode node = std::move(current->valueNodes.back());
    current->valueNodes.pop_back();
    return node;
}

void give(ValueNode&& node) {
    ValueNode taken = std::move(node);
    if (taken.empty() || current == nullptr || current->valueNodes.size() >= keptValueNodes) return;
    if (taken.key().capacity() > largest || taken.mapped().capacity() > largest) return;
    taken.key().clear();
    taken.mapped().clear();
    current->valueNodes.push_back(std::move(taken));
}

void* takeBlock(std::size_t size) {
    if (current != nullptr) {
        for (Blocks& sized : current->blocks) {
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
    if (current != nullptr) {
        Blocks* place = nullptr;
        for (Blocks& sized : current->blocks) {
            if (sized.size == size) {
                place = &sized;
                break;
            }
            if (place == nullptr && sized.size == 0) place = &sized;
        }
        // Room for kept blocks was made when the spares were.
        if (place != nullptr && place->kept.size() < kept) {
            place->size = size;
            place->kept.push_back(block);
            return;
        }
    }
    ::operator delete(block);
}

}  // namespace spare_buffers
