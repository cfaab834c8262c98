// KoJobName: the name of a KoJob, made the first time something asks for it.
//
// Most jobs are never addressed by name (a request header that is parsed,
// answered and dropped on one thread), so the name, the lock of the "_job"
// name source it costs and the dispatcher's registry entry it leads to come
// into being only when the name is read: by code that posts to the job,
// lets it join a joined task, logs it or looks it up. The name then never
// changes. A name read from several threads at once is made once; every
// reader sees the same text (the threads that lost the race to make it
// drop theirs, so a number of the name source may go unused).
//
// It reads as a const std::string (conversion, comparisons, concatenation,
// stream output and the usual observers), so code that addresses jobs by
// name is written as it would be against a plain string.
//
// Making the name has no other effect. Threads: any. Failures: std::bad_alloc, std::system_error.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

class KoJobName {
public:
    KoJobName() = default;
    KoJobName(const KoJobName&) = delete;
    KoJobName& operator=(const KoJobName&) = delete;
    ~KoJobName() { std::unique_ptr<const std::string> owned(value_.load(std::memory_order_acquire)); }

    // The name, made now if it was not yet.
    const std::string& str() const {
        const std::string* value = value_.load(std::memory_order_acquire);
        return value != nullptr ? *value : make();
    }
    operator const std::string&() const { return str(); }
    operator std::string_view() const { return str(); }

    // Whether the name has been made; never makes it.
    bool made() const { return value_.load(std::memory_order_acquire) != nullptr; }

    bool empty() const { return str().empty(); }
    std::size_t size() const { return str().size(); }
    std::size_t length() const { return str().size(); }
    const char* c_str() const { return str().c_str(); }
    const char* data() const { return str().data(); }
    std::string substr(std::size_t pos = 0, std::size_t count = std::string::npos) const {
        return str().substr(pos, count);
    }
    std::size_t find(char c, std::size_t pos = 0) const { return str().find(c, pos); }
    std::size_t find(const std::string& s, std::size_t pos = 0) const { return str().find(s, pos); }
    std::size_t rfind(char c, std::size_t pos = std::string::npos) const { return str().rfind(c, pos); }
    int compare(const std::string& other) const { return str().compare(other); }

private:
    const std::string& make() const;

    // Owned; held apart, so that a job never named carries no room for a
    // name, and one word is all a job spends on it.
    mutable std::atomic<const std::string*> value_{nullptr};
};

inline bool operator==(const KoJobName& a, const KoJobName& b) { return a.str() == b.str(); }
inline bool operator==(const KoJobName& a, const std::string& b) { return a.str() == b; }
inline bool operator==(const std::string& a, const KoJobName& b) { return a == b.str(); }
inline bool operator==(const KoJobName& a, const char* b) { return a.str() == b; }
inline bool operator==(const char* a, const KoJobName& b) { return a == b.str(); }
inline bool operator!=(const KoJobName& a, const KoJobName& b) { return !(a == b); }
inline bool operator!=(const KoJobName& a, const std::string& b) { return !(a == b); }
inline bool operator!=(const std::string& a, const KoJobName& b) { return !(a == b); }
inline bool operator!=(const KoJobName& a, const char* b) { return !(a == b); }
inline bool operator!=(const char* a, const KoJobName& b) { return !(a == b); }
inline bool operator<(const KoJobName& a, const KoJobName& b) { return a.str() < b.str(); }
inline bool operator<(const KoJobName& a, const std::string& b) { return a.str() < b; }
inline bool operator<(const std::string& a, const KoJobName& b) { return a < b.str(); }

inline std::string operator+(const std::string& a, const KoJobName& b) { return a + b.str(); }
inline std::string operator+(std::string&& a, const KoJobName& b) { return std::move(a) + b.str(); }
inline std::string operator+(const char* a, const KoJobName& b) { return a + b.str(); }
inline std::string operator+(const KoJobName& a, const std::string& b) { return a.str() + b; }
inline std::string operator+(const KoJobName& a, const char* b) { return a.str() + b; }

inline std::ostream& operator<<(std::ostream& out, const KoJobName& name) { return out << name.str(); }
