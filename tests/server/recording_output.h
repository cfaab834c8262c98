// A KoScriptOutput for tests of script runs: it keeps what the run wrote
// and the status it finished with, and says the answer is no longer wanted
// once told its client has gone.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "server/scripts/script_result.h"

class RecordingOutput : public KoScriptOutput {
public:
    bool take(std::string_view bytes) override {
        std::lock_guard<std::mutex> guard(lock);
        output.append(bytes);
        return true;
    }
    bool wanted() override { return !clientGone.load(); }
    void finish(std::int32_t failureStatus) override {
        std::lock_guard<std::mutex> guard(lock);
        status = failureStatus;
        ended.notify_all();
    }
    // The status it finished with, waiting up to limit for it.
    std::optional<std::int32_t> Status(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> guard(lock);
        ended.wait_for(guard, limit, [this] { return status.has_value(); });
        return status;
    }

    std::atomic<bool> clientGone{false};

private:
    std::mutex lock;
    std::condition_variable ended;
    std::string output;
    std::optional<std::int32_t> status;
};
