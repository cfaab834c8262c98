#include "foundation/diagnostics.h"

#include <gtest/gtest.h>

#include <mutex>

#include <string>
#include <thread>
#include <vector>

TEST(Diagnostics, ASinkSeesEveryLineWholeUntilStandardErrorIsRestored) {
    std::vector<std::string> lines;
    std::mutex lock;
    const KoDiagnosticSink before = setDiagnosticSink([&](std::string_view line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.emplace_back(line);
    });
    EXPECT_FALSE(before);  // standard error was the sink
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 100; ++i) diagnostic("writer " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (std::thread& writer : writers) writer.join();
    const KoDiagnosticSink mine = setDiagnosticSink({});
    EXPECT_TRUE(mine);
    diagnostic("after the sink was taken away");
    ASSERT_EQ(lines.size(), 400u);
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("writer ", 0), 0u) << line;
}

TEST(Diagnostics, ASinkMayWriteDiagnosticsItself) {
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) {
        lines.emplace_back(line);
        if (lines.size() == 1) diagnostic("echo");
    });
    diagnostic("first");
    setDiagnosticSink({});
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "echo"}));
}
