#include "message/field_list.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// A string within its own inline storage has no room worth keeping.
const std::size_t kInlineRoom = std::string().capacity();

std::size_t HeapRoom(const std::string& text) { return text.capacity() > kInlineRoom ? text.capacity() : 0; }

// The first eight bytes of a name as a number (zeros past its end), so
// that comparing two numbers compares the bytes: in one step, not byte by
// byte.
constexpr std::size_t kPrefixBytes = 8;

std::uint32_t BigEndian32(const char* bytes) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
    return word;
}

// In a few loads, not a byte at a time: it is made for every lookup.
std::uint64_t PrefixOf(std::string_view text) {
    const char* bytes = text.data();
    const std::size_t size = text.size();
    if (size >= kPrefixBytes) {
        return (static_cast<std::uint64_t>(BigEndian32(bytes)) << 32) | BigEndian32(bytes + 4);
    }
    if (size >= 4) {
        // The last four bytes overlap the first four where the name is short.
        return (static_cast<std::uint64_t>(BigEndian32(bytes)) << 32) |
               (static_cast<std::uint64_t>(BigEndian32(bytes + size - 4)) << (8 * (kPrefixBytes - size)));
    }
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < size; ++i) {
        prefix |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << (8 * (kPrefixBytes - 1 - i));
    }
    return prefix;
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
    for (std::size_t i = 0; i < other.size_; ++i) {
        const Slot& slot = other.slots_[i];
        slots_.push_back(Slot{std::make_unique<value_type>(*slot.node), slot.length, slot.prefix});
    }
    size_ = other.size_;
}

KoFieldList& KoFieldList::operator=(const KoFieldList& other) {
    if (this == &other) return *this;
    clear();
    // In order already: each entry goes behind the last, into a kept node.
    for (const value_type& entry : other) {
        nameSpare(entry.first, NameCase::asGiven);
        placeSpare(size_).second = entry.second;
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

KoFieldList::Place KoFieldList::locate(std::string_view name) const { return locate(name, PrefixOf(name)); }

KoFieldList::Place KoFieldList::locate(std::string_view name, std::uint64_t prefix) const {
    for (std::size_t i = 0; i < size_; ++i) {
        const Slot& slot = slots_[i];
        if (slot.prefix < prefix) continue;
        if (slot.prefix > prefix) return {i, false};
        // The same first bytes: only the rest can differ.
        const std::string& here = slot.node->first;
        if (slot.length == name.size() &&
            (name.size() <= kPrefixBytes ||
             std::memcmp(here.data() + kPrefixBytes, name.data() + kPrefixBytes, name.size() - kPrefixBytes) == 0)) {
            return {i, true};
        }
        if (std::string_view(here).compare(name) > 0) return {i, false};
    }
    return {size_, false};
}

KoFieldList::Slot& KoFieldList::spareSlot() {
    if (size_ == slots_.size()) slots_.push_back(Slot{std::make_unique<value_type>(), 0, 0});
    return slots_[size_];
}

void KoFieldList::nameSpare(std::string_view name, NameCase nameCase) {
    Slot& spare = spareSlot();
    std::string& stored = spare.node->first;
    stored.assign(name);
    if (nameCase == NameCase::lower) {
        for (char& c : stored) c = AsciiLower(c);
    }
    spare.length = stored.size();
    spare.prefix = PrefixOf(stored);
}

KoFieldList::value_type& KoFieldList::placeSpare(std::size_t index) {
    // Slots move; the nodes stay where they are.
    Slot spare = std::move(slots_[size_]);
    const auto at = slots_.begin() + static_cast<std::ptrdiff_t>(index);
    const auto live = slots_.begin() + static_cast<std::ptrdiff_t>(size_);
    std::move_backward(at, live, live + 1);
    *at = std::move(spare);
    ++size_;
    return *at->node;
}

std::vector<std::string>& KoFieldList::operator[](std::string_view name) {
    const Place place = locate(name);
    if (place.found) return slots_[place.index].node->second;
    nameSpare(name, NameCase::asGiven);
    return placeSpare(place.index).second;
}

std::vector<std::string>& KoFieldList::append(std::string_view name, std::string_view value, NameCase nameCase) {
    // The spare node's name is the lowered name's room; it stays spare when
    // the name is here already.
    nameSpare(name, nameCase);
    const Slot& spare = slots_[size_];
    const Place place = locate(spare.node->first, spare.prefix);
    std::vector<std::string>& values =
        place.found ? slots_[place.index].node->second : placeSpare(place.index).second;
    pushValue(values, value);
    return values;
}

std::vector<std::string>& KoFieldList::assign(std::string_view name, std::string_view value) {
    const Place place = locate(name);
    if (!place.found) {
        // Its place is known: no second scan.
        nameSpare(name, NameCase::asGiven);
        std::vector<std::string>& values = placeSpare(place.index).second;
        pushValue(values, value);
        return values;
    }
    value_type& entry = *slots_[place.index].node;
    release(entry);
    pushValue(entry.second, value);
    return entry.second;
}

void KoFieldList::pushValue(std::vector<std::string>& values, std::string_view value) {
    std::string text = takeValueString(value.size());
    text.assign(value);
    values.push_back(std::move(text));
}

std::size_t KoFieldList::erase(std::string_view name) {
    const Place place = locate(name);
    if (!place.found) return 0;
    erase(const_iterator(slots_.data() + place.index));
    return 1;
}

KoFieldList::iterator KoFieldList::erase(const_iterator at) {
    const std::size_t index = static_cast<std::size_t>(at.at_ - slots_.data());
    release(*slots_[index].node);
    // The node goes behind the live entries, to be used again.
    Slot gone = std::move(slots_[index]);
    const auto from = slots_.begin() + static_cast<std::ptrdiff_t>(index);
    const auto live = slots_.begin() + static_cast<std::ptrdiff_t>(size_);
    std::move(from + 1, live, from);
    *(live - 1) = std::move(gone);
    --size_;
    return iterator(slots_.data() + index);
}

void KoFieldList::clear() {
    for (std::size_t i = 0; i < size_; ++i) release(*slots_[i].node);
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
        const std::size_t room = pooled_[i].capacity();
        if (room >= length && (best == pooled_.size() || room < pooled_[best].capacity())) best = i;
    }
    if (best == pooled_.size()) return {};
    std::string text = std::move(pooled_[best]);
    if (best + 1 != pooled_.size()) pooled_[best] = std::move(pooled_.back());
    pooled_.pop_back();
    pooledBytes_ -= HeapRoom(text);
    text.clear();
    return text;
}

std::size_t KoFieldList::room() const {
    std::size_t bytes = slots_.capacity() * sizeof(Slot) + pooled_.capacity() * sizeof(std::string) + pooledBytes_;
    for (const Slot& slot : slots_) {
        const value_type& entry = *slot.node;
        bytes += sizeof(value_type) + HeapRoom(entry.first) + entry.second.capacity() * sizeof(std::string);
        for (const std::string& value : entry.second) bytes += HeapRoom(value);
    }
    return bytes;
}

bool operator==(const KoFieldList& a, const KoFieldList& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}
