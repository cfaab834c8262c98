#include "message/field_list.h"

#include <algorithm>
#include <cstring>

namespace {

// A string within its own inline storage has no room worth keeping.
const std::size_t kInlineRoom = std::string().capacity();

std::size_t HeapRoom(const std::string& text) { return text.capacity() > kInlineRoom ? text.capacity() : 0; }

unsigned char FirstByte(std::string_view text) { return static_cast<unsigned char>(text.front()); }

// std::string's order; most names differ in their first byte, which then
// decides without a call.
bool Before(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a.front() != b.front()) return FirstByte(a) < FirstByte(b);
    return a.compare(b) < 0;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

KoFieldList::KoFieldList(std::initializer_list<value_type> entries) {
    for (const value_type& entry : entries) {
        if (contains(entry.first)) continue;
        (*this)[entry.first] = entry.second;
    }
}

KoFieldList::KoFieldList(const KoFieldList& other) {
    slots_.reserve(other.size_);
    for (const value_type& entry : other) slots_.push_back(std::make_unique<value_type>(entry));
    size_ = other.size_;
}

KoFieldList& KoFieldList::operator=(const KoFieldList& other) {
    if (this == &other) return *this;
    clear();
    // In order already: each entry goes behind the last, into a kept node.
    for (const value_type& entry : other) {
        value_type& node = spareNode();
        node.first = entry.first;
        node.second = entry.second;
        placeSpare(size_);
    }
    return *this;
}

KoFieldList::KoFieldList(KoFieldList&& other) noexcept
    : slots_(std::move(other.slots_)),
      size_(std::exchange(other.size_, 0)),
      pooled_(std::move(other.pooled_)),
      pooledBytes_(std::exchange(other.pooledBytes_, 0)) {
    other.slots_.clear();
    other.pooled_.clear();
}

KoFieldList& KoFieldList::operator=(KoFieldList&& other) noexcept {
    if (this == &other) return *this;
    slots_ = std::move(other.slots_);
    size_ = std::exchange(other.size_, 0);
    pooled_ = std::move(other.pooled_);
    pooledBytes_ = std::exchange(other.pooledBytes_, 0);
    other.slots_.clear();
    other.pooled_.clear();
    return *this;
}

KoFieldList::~KoFieldList() = default;

std::size_t KoFieldList::indexOf(std::string_view name) const {
    if (name.empty()) return size_ != 0 && slots_[0]->first.empty() ? 0 : size_;
    const unsigned char first = FirstByte(name);
    for (std::size_t i = 0; i < size_; ++i) {
        const std::string& here = slots_[i]->first;
        if (here.empty()) continue;
        const unsigned char hereFirst = FirstByte(here);
        // In name order: past the names of its first byte, it is not here.
        if (hereFirst > first) break;
        if (hereFirst == first && here.size() == name.size() &&
            std::memcmp(here.data(), name.data(), name.size()) == 0) {
            return i;
        }
    }
    return size_;
}

std::size_t KoFieldList::insertionPoint(std::string_view name) const {
    const auto live = slots_.begin() + static_cast<std::ptrdiff_t>(size_);
    const auto at = std::lower_bound(slots_.begin(), live, name,
                                     [](const Slot& entry, std::string_view wanted) { return Before(entry->first, wanted); });
    return static_cast<std::size_t>(at - slots_.begin());
}

KoFieldList::value_type& KoFieldList::spareNode() {
    if (size_ == slots_.size()) slots_.push_back(std::make_unique<value_type>());
    return *slots_[size_];
}

KoFieldList::value_type& KoFieldList::placeSpare(std::size_t index) {
    // Node pointers move; the nodes stay where they are.
    const auto from = slots_.begin() + static_cast<std::ptrdiff_t>(index);
    const auto spare = slots_.begin() + static_cast<std::ptrdiff_t>(size_);
    std::rotate(from, spare, spare + 1);
    ++size_;
    return *slots_[index];
}

std::vector<std::string>& KoFieldList::operator[](std::string_view name) {
    if (const std::size_t found = indexOf(name); found != size_) return slots_[found]->second;
    spareNode().first.assign(name);
    return placeSpare(insertionPoint(name)).second;
}

std::vector<std::string>& KoFieldList::append(std::string_view name, std::string_view value, NameCase nameCase) {
    // The spare node's name is the lowered name's room; it stays spare when
    // the name is here already.
    std::string& spareName = spareNode().first;
    spareName.assign(name);
    if (nameCase == NameCase::lower) {
        for (char& c : spareName) c = AsciiLower(c);
    }
    std::size_t at = indexOf(spareName);
    if (at == size_) {
        at = insertionPoint(spareName);
        placeSpare(at);
    }
    std::vector<std::string>& values = slots_[at]->second;
    std::string text = takeValueString(value.size());
    text.assign(value);
    values.push_back(std::move(text));
    return values;
}

std::size_t KoFieldList::erase(std::string_view name) {
    const std::size_t found = indexOf(name);
    if (found == size_) return 0;
    erase(const_iterator(slots_.data() + found));
    return 1;
}

KoFieldList::iterator KoFieldList::erase(const_iterator at) {
    const std::size_t index = static_cast<std::size_t>(at.at_ - slots_.data());
    release(*slots_[index]);
    // The node goes behind the live entries, to be used again.
    const auto from = slots_.begin() + static_cast<std::ptrdiff_t>(index);
    std::rotate(from, from + 1, slots_.begin() + static_cast<std::ptrdiff_t>(size_));
    --size_;
    return iterator(slots_.data() + index);
}

void KoFieldList::clear() {
    for (std::size_t i = 0; i < size_; ++i) release(*slots_[i]);
    size_ = 0;
}

void KoFieldList::release(value_type& entry) {
    for (std::string& value : entry.second) {
        const std::size_t valueRoom = HeapRoom(value);
        if (valueRoom == 0 || pooledBytes_ + valueRoom > kPooledValueBytes) continue;
        pooledBytes_ += valueRoom;
        pooled_.push_back(std::move(value));
    }
    entry.second.clear();
}

std::string KoFieldList::takeValueString(std::size_t length) {
    // A short value fits a string's inline storage; a long one takes the
    // smallest kept string it fits.
    if (length <= kInlineRoom) return {};
    std::size_t best = pooled_.size();
    for (std::size_t i = 0; i < pooled_.size(); ++i) {
        if (pooled_[i].capacity() >= length && (best == pooled_.size() || pooled_[i].capacity() < pooled_[best].capacity())) {
            best = i;
        }
    }
    if (best == pooled_.size()) return {};
    std::string text = std::move(pooled_[best]);
    pooled_[best] = std::move(pooled_.back());
    pooled_.pop_back();
    pooledBytes_ -= HeapRoom(text);
    text.clear();
    return text;
}

std::size_t KoFieldList::room() const {
    std::size_t bytes = slots_.capacity() * sizeof(Slot) + pooled_.capacity() * sizeof(std::string) + pooledBytes_;
    for (const Slot& slot : slots_) {
        bytes += sizeof(value_type) + HeapRoom(slot->first) + slot->second.capacity() * sizeof(std::string);
        for (const std::string& value : slot->second) bytes += HeapRoom(value);
    }
    return bytes;
}

bool operator==(const KoFieldList& a, const KoFieldList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
