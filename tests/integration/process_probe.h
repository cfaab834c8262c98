// What the end-to-end tests read of their own process to check that the
// server holds bounded resources (Linux /proc), and a bounded wait for a
// condition that another thread makes true.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace process_probe {

inline std::size_t OpenDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// A "Vm...:" line of the process's status, in KiB.
inline std::size_t StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stoul(line.substr(field.size()));
    return 0;
}

inline std::size_t ResidentKiB() { return StatusKiB("VmRSS:"); }

// The highest resident size since the last reset, and its reset.
inline std::size_t PeakResidentKiB() { return StatusKiB("VmHWM:"); }
inline void ResetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Polls condition every 10 ms until it holds (true) or limit passes (false).
inline bool Eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace process_probe
