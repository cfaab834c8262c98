// What a host's callbacks saw in the end-to-end tests, one line each,
// waited for and counted by their start; waits are bounded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace host_seen {

class Seen {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(line);
        changed.notify_all();
    }
    bool waitFor(const std::string& line, std::size_t count = 1) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(30), [&] { return countLocked(line) >= count; });
    }
    std::size_t count(const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        return countLocked(line);
    }
    std::string all() {
        std::lock_guard<std::mutex> guard(lock);
        std::string joined;
        for (const std::string& line : lines) joined += line + "\n";
        return joined;
    }

private:
    std::size_t countLocked(const std::string& line) const {
        std::size_t n = 0;
        for (const std::string& one : lines) n += one.compare(0, line.size(), line) == 0;
        return n;
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
};

}  // namespace host_seen
