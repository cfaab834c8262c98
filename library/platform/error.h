// Platform: the one layer that talks to the operating system.
// May use: the C++ standard library only (it sits at the bottom).
//
// One header per service (error texts, descriptors, sockets, readiness waits,
// file probes); the POSIX implementations live in posix/ under the same
// names. Nothing here throws for an operating-system failure: calls return an
// Error (the errno value of the failed call, 0 for success) or a Result, and
// the layers above decide whether to print, throw or carry on. No system
// constant leaks out: callers ask an Error what it means (wouldBlock(), ...).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform {

// The outcome of one system call: 0 or the errno value it left.
class Error {
public:
    constexpr Error() = default;
    constexpr explicit Error(int code) : code_(code) {}

    constexpr int code() const { return code_; }
    constexpr bool ok() const { return code_ == 0; }

    // A non-blocking call that could not make progress now.
    bool wouldBlock() const;
    // A non-blocking connect that goes on in the background.
    bool inProgress() const;
    // A call cut short by a signal; retrying is right.
    bool interrupted() const;
    // The address or port is already taken.
    bool addressInUse() const;
    // The named file or one of its directories does not exist.
    bool notFound() const;
    // The process or the system has no descriptor left.
    bool outOfDescriptors() const;
    // The strerror text, e.g. "Connection refused".
    std::string text() const;

    // The error the last failed call on this thread left (errno).
    static Error last();

private:
    int code_ = 0;
};

std::string errorText(int code);

// A value or the Error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(error) {}

    bool ok() const { return std::holds_alternative<T>(state_); }
    T& value() { return std::get<T>(state_); }
    const T& value() const { return std::get<T>(state_); }
    Error error() const { return ok() ? Error() : std::get<Error>(state_); }

private:
    std::variant<T, Error> state_;
};

}  // namespace platform
