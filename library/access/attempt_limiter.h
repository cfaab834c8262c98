// Access: KoAttemptLimiter, which stops a client from guessing passwords at
// line speed: after too many failed log-ins from one address within a
// window, that address is refused (429) for a while, right or wrong.
//
// Memory is bounded: at most maxTracked addresses are remembered; when full,
// the one whose last failure is oldest is forgotten first. A success clears
// an address. Times are passed in, so tests need no clock.
//
// Threads: any; one lock guards the table.
// May use: foundation.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

struct KoAttemptLimits {
    std::size_t maxFailures = 10;                  // within one window
    std::chrono::seconds window{60};
    std::chrono::seconds blockFor{60};             // after the last failure that went over
    std::size_t maxTracked = 4096;
};

class KoAttemptLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit KoAttemptLimiter(KoAttemptLimits limits = {}) : limits_(limits) {}

    // Whether a log-in from address is refused without being checked.
    bool blocked(std::string_view address, Clock::time_point now) const;
    void failed(std::string_view address, Clock::time_point now);
    void succeeded(std::string_view address);
    std::size_t tracked() const;

private:
    struct Record {
        std::size_t failures = 0;
        Clock::time_point windowStart{};
        Clock::time_point last{};
        Clock::time_point blockedUntil{};
    };
    void forgetOldestLocked();

    const KoAttemptLimits limits_;
    mutable std::mutex lock_;
    std::map<std::string, Record, std::less<>> records_;  // under lock_
};
