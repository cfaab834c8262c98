// Test jobs that record what the dispatcher delivers to them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/job.h"
#include "jobs/job_message.h"

class RecordingJob : public KoJob {
public:
    ~RecordingJob() override { withdraw(); }

    bool receive(KoJobMessage& message) override {
        if (onReceive) onReceive(message);
        std::lock_guard<std::mutex> guard(lock_);
        messages_.push_back(message);
        arrived_.notify_all();
        return true;
    }

    // Waits (bounded) until `count` messages have arrived.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> guard(lock_);
        return arrived_.wait_for(guard, timeout, [&] { return messages_.size() >= count; });
    }

    std::vector<KoJobMessage> messages() {
        std::lock_guard<std::mutex> guard(lock_);
        return messages_;
    }

    // Called on the dispatcher's thread before the message is recorded.
    std::function<void(KoJobMessage&)> onReceive;

private:
    std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<KoJobMessage> messages_;
};

inline KoJobMessage textMessage(const std::string& text, uint32_t code = 8) {
    KoJobMessage message;
    message.text = text;
    message.code = code;
    return message;
}
