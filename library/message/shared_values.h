// KoSharedMap: a map that many holders share until one of them changes its
// own copy. A connection's description (KoSharedValues) is held so by each
// of its requests, and a request's fields (a KoFieldList) by its answer,
// without copying them. Reads look at the shared map; the first write of a
// holder that shares it copies it first.
//
// Threads: a holder is used by one thread at a time; holders that share a
// map may live on different threads (a shared map is never changed).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "message/protocols.h"

template <typename MapType>
class KoSharedMap {
public:
    using Map = MapType;
    using const_iterator = typename Map::const_iterator;
    using key_type = typename Map::key_type;
    using mapped_type = typename Map::mapped_type;

    KoSharedMap() = default;
    KoSharedMap(Map values) : values_(std::make_shared<Map>(std::move(values))) {}
    // Shares values. The map must have been made mutable (make_shared<Map>,
    // or a member of an object so made): a sole holder changes it in place.
    explicit KoSharedMap(std::shared_ptr<const Map> values) : values_(std::move(values)) {}
    KoSharedMap& operator=(Map values) {
        values_ = std::make_shared<Map>(std::move(values));
        return *this;
    }

    const Map& map() const {
        static const Map none;
        return values_ ? *values_ : none;
    }
    operator const Map&() const { return map(); }

    // Any key the map's own find takes (a field list takes a string_view).
    template <typename Key>
    const_iterator find(const Key& key) const {
        return map().find(key);
    }
    const_iterator begin() const { return map().begin(); }
    const_iterator end() const { return map().end(); }
    template <typename Key>
    std::size_t count(const Key& key) const {
        return map().count(key);
    }
    std::size_t size() const { return map().size(); }
    bool empty() const { return map().empty(); }
    // The value of key, made empty when there is none: the holder's own.
    mapped_type& operator[](const key_type& key) { return own()[key]; }
    std::size_t erase(const key_type& key) { return map().count(key) == 0 ? 0 : own().erase(key); }
    // The holder's own map, copied first when it is shared.
    Map& own() {
        // A sole holder: nobody else can see a change.
        if (!values_ || values_.use_count() != 1) values_ = std::make_shared<Map>(map());
        return const_cast<Map&>(*values_);
    }

    friend bool operator==(const KoSharedMap& a, const KoSharedMap& b) { return a.map() == b.map(); }
    friend bool operator==(const KoSharedMap& a, const Map& b) { return a.map() == b; }

private:
    std::shared_ptr<const Map> values_;
};

using KoSharedValues = KoSharedMap<KoStringMap>;
