// Message layer: KoPeakCounter, the most of something held at once by any
// thread (the bytes a kind of body held), a figure for tests and monitoring.
// Threads: any; relaxed atomics, as nothing is ordered by it.
#pragma once

#include <atomic>
#include <cstddef>

class KoPeakCounter {
public:
    void note(std::size_t value) {
        std::size_t seen = peak_.load(std::memory_order_relaxed);
        while (value > seen && !peak_.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
        }
    }
    std::size_t peak() const { return peak_.load(std::memory_order_relaxed); }
    void reset() { peak_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<std::size_t> peak_{0};
};
