// KoUniqueNameSource: generates the names by which jobs and joined tasks are
// addressed.
//
// A name is the prefix, "*", the microseconds within the current second of
// the system clock in 7 zero-padded digits and the seconds since 1970 in 11
// zero-padded digits ("_job*000123401712345678"). Names from one source are
// unique: generation is serialised by the source's lock and never issues a
// time at or before the previous one (names drawn within one microsecond, or
// a system clock set back, take the next free microsecond).
//
// Two process-wide sources exist, "_job" and "joinedtask", and a common-error
// name ("__commonError" and the two numbers, without "*") made once at load
// time. All are never destroyed, so they may be used from static destructors.
// Any thread may call any operation. Failures: only std::system_error from
// the mutex, std::bad_alloc.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class KoUniqueNameSource {
public:
    explicit KoUniqueNameSource(std::string prefix);
    KoUniqueNameSource(const KoUniqueNameSource&) = delete;
    KoUniqueNameSource& operator=(const KoUniqueNameSource&) = delete;

    // The next unique name of this source.
    std::string generate();

    const std::string& prefix() const { return prefix_; }

    // The source of every KoJob name ("_job").
    static KoUniqueNameSource& jobs();
    // The source of every joined-task name ("joinedtask").
    static KoUniqueNameSource& joinedTasks();
    // "__commonError" followed by the two numbers, made once.
    static const std::string& commonErrorName();

    // Formats a name from a time in 100-ns ticks since 1970-01-01 UTC;
    // `separator` is "*" for generated names and empty for the common-error
    // name.
    static std::string format(const std::string& prefix, int64_t ticks,
                              const std::string& separator = "*");
    // The system clock in 100-ns ticks since 1970-01-01 UTC.
    static int64_t nowTicks();

private:
    std::mutex lock_;
    std::string prefix_;
    int64_t lastMicros_ = 0;  // last issued time, in microseconds since 1970
};
