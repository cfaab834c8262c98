#include "jobs/unique_name_source.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jobs/combined_task.h"
#include "jobs/job.h"

namespace {

// prefix, separator, then 18 digits of which the first is 0.
bool hasShape(const std::string& name, const std::string& head) {
    if (name.size() != head.size() + 18 || name.compare(0, head.size(), head) != 0) return false;
    if (name[head.size()] != '0') return false;
    for (std::size_t i = head.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

}  // namespace

TEST(KoUniqueNameSource, FormatsMicrosecondsThenSeconds) {
    // 1712345678 s and 1234567 ticks: 123456 µs (the last tick is cut off).
    const int64_t ticks = 1712345678LL * 10'000'000 + 1234567;
    EXPECT_EQ(KoUniqueNameSource::format("_job", ticks), "_job*012345601712345678");
    EXPECT_EQ(KoUniqueNameSource::format("__commonError", ticks, ""), "__commonError012345601712345678");
    EXPECT_EQ(KoUniqueNameSource::format("joinedtask", 0), "joinedtask*000000000000000000");
    EXPECT_EQ(KoUniqueNameSource::format("x", 99'999'999'999LL * 10'000'000 + 9'999'999),
              "x*099999999999999999");
}

TEST(KoUniqueNameSource, JobsGetDistinctNamesOfTheFixedShape) {
    KoJob first;
    KoJob second;
    EXPECT_TRUE(hasShape(first.name, "_job*")) << first.name;
    EXPECT_TRUE(hasShape(second.name, "_job*")) << second.name;
    EXPECT_NE(first.name, second.name);
    // The seconds part is the current time.
    const int64_t seconds = KoUniqueNameSource::nowTicks() / 10'000'000;
    const int64_t named = std::stoll(second.name.substr(second.name.size() - 11));
    EXPECT_LE(seconds - named, 5);
}

TEST(KoUniqueNameSource, JoinedTaskAndCommonErrorNames) {
    std::string joined = KoUniqueNameSource::joinedTasks().generate();
    EXPECT_TRUE(hasShape(joined, "joinedtask*")) << joined;
    const std::string& error = KoCombinedTask::commonErrorName();
    EXPECT_TRUE(hasShape(error, "__commonError")) << error;
    EXPECT_EQ(&error, &KoUniqueNameSource::commonErrorName());
}

TEST(KoUniqueNameSource, NamesStayUniqueAcrossThreads) {
    KoUniqueNameSource source("t");
    constexpr int threads = 4;
    constexpr int perThread = 250;
    std::vector<std::vector<std::string>> names(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) names[t].push_back(source.generate());
        });
    }
    for (auto& worker : workers) worker.join();
    std::set<std::string> all;
    for (const auto& list : names) all.insert(list.begin(), list.end());
    EXPECT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
}
