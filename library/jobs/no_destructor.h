// Holds an object that lives until the process ends and is never destroyed.
//
// Process-wide services (the dispatcher, the name sources) are reached from
// destructors of static objects in any order at exit; keeping them alive
// means no such destructor can touch a destroyed object. The object is built
// in place, on first use or at load time, and its destructor never runs.
#pragma once

#include <memory>
#include <utility>

namespace velko {

template <class T>
class NoDestructor {
public:
    template <class... Args>
    explicit NoDestructor(Args&&... args) {
        std::construct_at(&value_, std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    // Deliberately leaves value_ alive.
    ~NoDestructor() {}

    T& get() { return value_; }
    T* operator->() { return &value_; }

private:
    union {
        T value_;
    };
};

}  // namespace velko
