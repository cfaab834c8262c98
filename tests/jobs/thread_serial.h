// Tells threads apart in tests: a new thread may get the std::thread::id of
// one joined before it, but never its thread-local values.
#pragma once

#include <atomic>

inline int threadSerial() {
    static std::atomic<int> next{0};
    thread_local const int mine = ++next;
    return mine;
}
