// How everything above the serial component reports what went wrong: what
// failed, the system's error behind it where there is one, and the line a
// user reads. The serial component keeps its own int and BOOL results.
#pragma once

#include <QString>

#include <optional>
#include <utility>

struct Failure
{
    // What was being done: "open COM5", "watch the ports", "read the command line".
    QString what;
    // errno on POSIX, the Windows error code on Windows; 0 when no system
    // call failed.
    int systemError = 0;
    // One line for the user.
    QString text;
};

// A value, or the failure that kept it from being made.
template <typename T> class Result
{
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const { return value_.has_value(); }
    const T& value() const { return *value_; }
    T& value() { return *value_; }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<T> value_;
    std::optional<Failure> failure_;
};

// Success with nothing to carry, or the failure.
template <> class Result<void>
{
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}

    explicit operator bool() const { return !failure_.has_value(); }
    const Failure& failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};
