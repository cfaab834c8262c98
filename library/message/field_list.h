// KoFieldList: a message's header fields, each name with its list of
// values, as one flat list instead of a tree. It reads like the
// std::map<std::string, std::vector<std::string>> it replaces: find, count,
// operator[], erase, iteration with ->first and ->second, and entries in
// the map's order (byte order of the names), which the answer head, CGI
// variables and host handlers see when they walk the fields.
//
// Names are stored as given; whoever adds one gives it in lower case
// (append can lower it). A name must not be changed through an iterator.
// Each entry has a node of its own, so a reference to an entry or to its
// values stays valid while other entries come and go, as in a map; erasing
// an entry (or clear) ends its references.
//
// What a list lets go of it keeps for its next fields: clear() and erase
// leave the entries' nodes, their names' and value lists' room, and (up to
// kPooledValueBytes) their values' strings, which append fills again. So a
// list used again (the spares hand it from message to message) costs no
// allocation for entries like the ones it held, nor for values given
// through append; values assigned to ->second or operator[] are the
// vector's own. Copies hold only the live entries. Not thread-safe: one
// thread at a time, as a map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

class KoFieldList {
public:
    using key_type = std::string;
    using mapped_type = std::vector<std::string>;
    using value_type = std::pair<std::string, std::vector<std::string>>;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    using reference = value_type&;
    using const_reference = const value_type&;

    // Value strings kept for reuse, at most this many bytes of room.
    static constexpr std::size_t kPooledValueBytes = 4096;

    enum class NameCase { asGiven, lower };

private:
    // An entry's node, with its name's length and first bytes beside it
    // (as one number that orders as the bytes do), so a lookup reads the
    // nodes only where those match.
    struct Slot {
        std::unique_ptr<value_type> node;
        std::size_t length = 0;
        std::uint64_t prefix = 0;
    };

    template <bool Const>
    class Iterator {
    public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = KoFieldList::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<Const, const value_type*, value_type*>;
        using reference = std::conditional_t<Const, const value_type&, value_type&>;

        Iterator() = default;
        // An iterator converts to a const_iterator.
        template <bool OtherConst, typename = std::enable_if_t<Const && !OtherConst>>
        Iterator(const Iterator<OtherConst>& other) : at_(other.at_) {}

        reference operator*() const { return *at_->node; }
        pointer operator->() const { return at_->node.get(); }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++at_;
            return before;
        }
        Iterator& operator--() {
            --at_;
            return *this;
        }
        Iterator operator--(int) {
            Iterator before = *this;
            --at_;
            return before;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }

    private:
        friend class KoFieldList;
        template <bool>
        friend class Iterator;
        explicit Iterator(const Slot* at) : at_(at) {}
        const Slot* at_ = nullptr;
    };

public:
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    KoFieldList() = default;
    // As a map is made from a list: the first entry of a name counts.
    KoFieldList(std::initializer_list<value_type> entries);
    KoFieldList(const KoFieldList& other);
    KoFieldList& operator=(const KoFieldList& other);
    KoFieldList(KoFieldList&& other) noexcept;
    KoFieldList& operator=(KoFieldList&& other) noexcept;
    ~KoFieldList();

    iterator begin() { return iterator(slots_.data()); }
    iterator end() { return iterator(slots_.data() + size_); }
    const_iterator begin() const { return const_iterator(slots_.data()); }
    const_iterator end() const { return const_iterator(slots_.data() + size_); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    iterator find(std::string_view name) { return iterator(slots_.data() + indexOf(name)); }
    const_iterator find(std::string_view name) const { return const_iterator(slots_.data() + indexOf(name)); }
    std::size_t count(std::string_view name) const { return locate(name).found ? 1 : 0; }
    bool contains(std::string_view name) const { return locate(name).found; }

    // The values of name, made (empty) when it has none.
    std::vector<std::string>& operator[](std::string_view name);
    // Appends value to the values of name (made when it has none), in a
    // string this list kept when there is one; NameCase::lower stores the
    // name in ASCII lower case, as a received field's name is.
    std::vector<std::string>& append(std::string_view name, std::string_view value,
                                     NameCase nameCase = NameCase::asGiven);

    // Makes value the only value of name, in a string this list kept when
    // there is one (an answer's own fields are set so on every request).
    std::vector<std::string>& assign(std::string_view name, std::string_view value);

    // The number of entries erased (0 or 1).
    std::size_t erase(std::string_view name);
    // The entry after the erased one.
    iterator erase(const_iterator at);
    // No entries; their room is kept.
    void clear();

    // The bytes of room this list holds, live entries and kept ones.
    std::size_t room() const;
    // Nodes this list holds, live and kept.
    std::size_t nodes() const { return slots_.size(); }

    friend bool operator==(const KoFieldList& a, const KoFieldList& b);

private:
    struct Place {
        std::size_t index;  // of the entry, or where it would stand
        bool found;
    };
    // One scan in name order: the entry of name, or its place.
    Place locate(std::string_view name) const;
    // The same, with the name's first bytes as a number (a slot's prefix).
    Place locate(std::string_view name, std::uint64_t prefix) const;
    // Appends value to values in a string this list kept when there is one.
    void pushValue(std::vector<std::string>& values, std::string_view value);
    std::size_t indexOf(std::string_view name) const {
        const Place place = locate(name);
        return place.found ? place.index : size_;
    }
    // The node after the live entries, made when there is none; its values
    // are empty.
    Slot& spareSlot();
    // Gives the spare slot its name (lowered, when asked).
    void nameSpare(std::string_view name, NameCase nameCase);
    // Makes the spare node, named already, the live entry at index.
    value_type& placeSpare(std::size_t index);
    // Empties the values of a node that leaves, keeping their strings.
    void release(value_type& entry);
    // An empty string with room for length bytes when one is kept.
    std::string takeValueString(std::size_t length);

    // [0, size_) the live entries in name order; the rest kept for reuse.
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::vector<std::string> pooled_;
    std::size_t pooledBytes_ = 0;
};
