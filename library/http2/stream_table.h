// KoStreamTable: the open streams of one HTTP/2 connection by id, in a small
// flat table (a connection has a few at once, newest last: found from the
// end), with the entries of closed streams kept for the streams to come so
// that a busy connection makes none per request. Entries do not move while
// they live: nghttp2 and the answers read what they hold where it lies.
//
// Ownership: the table owns its entries. Threads: the connection's.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

template <typename Stream>
class KoStreamTable {
public:
    using Entry = std::pair<std::int32_t, std::unique_ptr<Stream>>;
    // As many spares as streams come and go in one turn of a busy client.
    static constexpr std::size_t spareBound = 16;

    Stream* find(std::int32_t id) {
        for (auto entry = open_.rbegin(); entry != open_.rend(); ++entry) {
            if (entry->first == id) return entry->second.get();
        }
        return nullptr;
    }

    // The stream's entry, made of a spare one when there is one.
    Stream& open(std::int32_t id) {
        if (Stream* found = find(id)) return *found;
        std::unique_ptr<Stream> stream;
        if (spares_.empty()) {
            stream = std::make_unique<Stream>();
        } else {
            stream = std::move(spares_.back());
            spares_.pop_back();
        }
        Stream& opened = *stream;
        open_.emplace_back(id, std::move(stream));
        return opened;
    }

    // The stream's entry leaves the table (null when it has none); give it
    // back with keep once the owner is done with it.
    std::unique_ptr<Stream> take(std::int32_t id) {
        const auto found =
            std::find_if(open_.begin(), open_.end(), [id](const Entry& entry) { return entry.first == id; });
        if (found == open_.end()) return nullptr;
        std::unique_ptr<Stream> stream = std::move(found->second);
        open_.erase(found);
        return stream;
    }

    // Keeps a closed stream's entry for a stream to come, emptied by forget
    // (which leaves it the room of its lists), while there is room for it.
    template <typename Forget>
    void keep(std::unique_ptr<Stream> stream, Forget forget) {
        if (!stream || spares_.size() >= spareBound) return;
        forget(*stream);
        spares_.push_back(std::move(stream));
    }

    // Frees the spare entries and, while no stream is open, the room of
    // both lists (a resting connection holds none of it).
    void releaseSpares() {
        decltype(spares_)().swap(spares_);
        if (open_.empty()) decltype(open_)().swap(open_);
    }
    void clear() {
        open_.clear();
        spares_.clear();
    }

    bool empty() const { return open_.empty(); }
    std::size_t size() const { return open_.size(); }
    auto begin() { return open_.begin(); }
    auto end() { return open_.end(); }
    auto begin() const { return open_.begin(); }
    auto end() const { return open_.end(); }

private:
    std::vector<Entry> open_;
    std::vector<std::unique_ptr<Stream>> spares_;
};
