#include "jobs/unique_name_source.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jobs/combined_task.h"
#include "jobs/job.h"

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
    const std::regex shape(R"(_job\*0\d{17})");
    EXPECT_TRUE(std::regex_match(first.name, shape)) << first.name;
    EXPECT_TRUE(std::regex_match(second.name, shape)) << second.name;
    EXPECT_NE(first.name, second.name);
    // The seconds part is the current time.
    const int64_t seconds = KoUniqueNameSource::nowTicks() / 10'000'000;
    const int64_t named = std::stoll(second.name.substr(second.name.size() - 11));
    EXPECT_LE(seconds - named, 5);
}

TEST(KoUniqueNameSource, JoinedTaskAndCommonErrorNames) {
    std::string joined = KoUniqueNameSource::joinedTasks().generate();
    EXPECT_TRUE(std::regex_match(joined, std::regex(R"(joinedtask\*0\d{17})"))) << joined;
    const std::string& error = KoCombinedTask::commonErrorName();
    EXPECT_TRUE(std::regex_match(error, std::regex(R"(__commonError0\d{17})"))) << error;
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
