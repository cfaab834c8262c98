#include "jobs/unique_name_source.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "jobs/no_destructor.h"

namespace {

constexpr int64_t ticksPerSecond = 10'000'000;
constexpr int64_t ticksPerMicro = 10;

}  // namespace

KoUniqueNameSource::KoUniqueNameSource(std::string prefix) : prefix_(std::move(prefix)) {}

int64_t KoUniqueNameSource::nowTicks() {
    using namespace std::chrono;
    return duration_cast<duration<int64_t, std::ratio<1, ticksPerSecond>>>(
               system_clock::now().time_since_epoch())
        .count();
}

std::string KoUniqueNameSource::format(const std::string& prefix, int64_t ticks,
                                       const std::string& separator) {
    const int64_t seconds = ticks / ticksPerSecond;
    const int64_t micros = (ticks - seconds * ticksPerSecond) / ticksPerMicro;
    char digits[48];
    std::snprintf(digits, sizeof digits, "%07lld%011lld", static_cast<long long>(micros),
                  static_cast<long long>(seconds));
    return prefix + separator + digits;
}

std::string KoUniqueNameSource::generate() {
    std::lock_guard<std::mutex> guard(lock_);
    int64_t micros = nowTicks() / ticksPerMicro;
    // Two names within one microsecond, or a clock set back, take the next
    // free microsecond: names stay unique and ordered without pausing the
    // caller (several names are made per request).
    if (micros <= lastMicros_) micros = lastMicros_ + 1;
    lastMicros_ = micros;
    return format(prefix_, micros * ticksPerMicro);
}

KoUniqueNameSource& KoUniqueNameSource::jobs() {
    static velko::NoDestructor<KoUniqueNameSource> source("_job");
    return source.get();
}

KoUniqueNameSource& KoUniqueNameSource::joinedTasks() {
    static velko::NoDestructor<KoUniqueNameSource> source("joinedtask");
    return source.get();
}

const std::string& KoUniqueNameSource::commonErrorName() {
    static velko::NoDestructor<std::string> name([] {
        KoUniqueNameSource& jobs = KoUniqueNameSource::jobs();
        std::lock_guard<std::mutex> guard(jobs.lock_);
        return format("__commonError", nowTicks(), "");
    }());
    return name.get();
}

namespace {

// Made when the library is loaded.
[[maybe_unused]] const bool commonErrorNameMade = !KoUniqueNameSource::commonErrorName().empty();

}  // namespace
