// KoSharedValues: a string map that many holders share until one of them
// changes its own copy (a connection's description, which each of its
// requests holds without copying it). Reads look at the shared map; the
// first write of a holder that shares it copies it first.
//
// Threads: a holder is used by one thread at a time; holders that share a
// map may live on different threads (the shared map is never changed).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "message/protocols.h"

class KoSharedValues {
public:
    using Map = KoStringMap;
    using const_iterator = Map::const_iterator;

    KoSharedValues() = default;
    KoSharedValues(Map values);
    // Shares values (made by make_shared<KoStringMap>: never changed through
    // this holder while another holds it).
    explicit KoSharedValues(std::shared_ptr<const Map> values) : values_(std::move(values)) {}
    KoSharedValues& operator=(Map values);

    const Map& map() const;
    operator const Map&() const { return map(); }

    const_iterator find(const std::string& key) const { return map().find(key); }
    const_iterator begin() const { return map().begin(); }
    const_iterator end() const { return map().end(); }
    std::size_t count(const std::string& key) const { return map().count(key); }
    std::size_t size() const { return map().size(); }
    bool empty() const { return map().empty(); }
    // The value of key, made empty when there is none: the holder's own.
    std::string& operator[](const std::string& key) { return own()[key]; }
    std::size_t erase(const std::string& key);
    // The holder's own map, copied first when it is shared.
    Map& own();

    friend bool operator==(const KoSharedValues& a, const KoSharedValues& b) { return a.map() == b.map(); }
    friend bool operator==(const KoSharedValues& a, const Map& b) { return a.map() == b; }

private:
    std::shared_ptr<const Map> values_;
};
