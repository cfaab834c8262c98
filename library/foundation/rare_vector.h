// KoRareVector<T>: a vector that costs one pointer while it is empty, for
// queues that most objects of a kind leave empty nearly all the time (what
// waits behind a connection's output), where each empty std::vector would
// take three words and keep whatever room it once grew to.
//
// Its storage is made by the first push_back and let go of when the last
// item leaves (pop_front, clear, take), so an object that used it once does
// not keep room for it. Otherwise as std::vector: not thread-safe, front()
// and pop_front() only when not empty. Failures: std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

template <class T>
class KoRareVector {
public:
    bool empty() const { return !items_; }
    std::size_t size() const { return items_ ? items_->size() : 0; }
    T& front() { return items_->front(); }
    const T& front() const { return items_->front(); }
    void push_back(T item) {
        if (!items_) items_ = std::make_unique<std::vector<T>>();
        items_->push_back(std::move(item));
    }
    void pop_front() {
        items_->erase(items_->begin());
        if (items_->empty()) items_.reset();
    }
    void clear() { items_.reset(); }
    // All the items, oldest first; leaves it empty.
    std::vector<T> take() {
        std::vector<T> all;
        if (items_) all = std::move(*items_);
        items_.reset();
        return all;
    }
    const T* begin() const { return items_ ? items_->data() : nullptr; }
    const T* end() const { return items_ ? items_->data() + items_->size() : nullptr; }

private:
    std::unique_ptr<std::vector<T>> items_;  // never empty while it exists
};
