// Platform: objects kept per thread and destroyed when their thread ends.
//
// perThread<T>() is the calling thread's own T, made at its first use on
// that thread. Use it instead of a thread_local object whose type has a
// destructor: the Windows toolchain frees a thread's thread_local storage
// before it runs their destructors, so such an object (a string, a cache)
// writes into freed memory when its thread ends. A T made here is destroyed
// by the system's own per-thread slot once the thread's body has returned;
// so its destructor must not use thread_local objects or other perThread
// objects (plain members are fine: strings, maps, files).
// Any thread. Failures: std::bad_alloc, or std::system_error when the system
// has no slot left (at the first use on the first thread).
#pragma once

#include <memory>

namespace platform {

// What a slot destroys at its thread's end.
class ThreadOwned {
public:
    virtual ~ThreadOwned() = default;
};

// One system slot: a value per thread, destroyed at the thread's end. The
// slot itself is never freed: at the process's exit other threads may still
// use their values, and freeing it would destroy them (on Windows) under
// those threads.
class ThreadSlot {
public:
    ThreadSlot();
    ~ThreadSlot() = default;
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Hands the calling thread's value to the slot, which destroys it when
    // the thread ends. Once per thread.
    void keep(std::unique_ptr<ThreadOwned> value) const;

private:
    unsigned long index_ = 0;
};

template <class T>
T& perThread() {
    struct Owned final : ThreadOwned {
        T value{};
    };
    // A plain pointer is safe as a thread_local: it has nothing to destroy.
    thread_local T* mine = nullptr;
    if (mine == nullptr) {
        static const ThreadSlot slot;
        auto made = std::make_unique<Owned>();
        T* value = &made->value;
        slot.keep(std::move(made));
        mine = value;
    }
    return *mine;
}

}  // namespace platform
