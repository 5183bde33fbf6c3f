// Internal failures and error values.
//
// An internal failure abandons the whole computation of one Python call: it is
// raised with `fail(...)`, travels as a C++ exception of type `Failure` (also
// across worker threads, see parallel/), and is turned into the module's
// PanicException by the per-call wrapper in src/module. Raising one writes a
// diagnostic block to standard error first.
//
// An error value is what a toolkit routine (polint, qromb_w2arg) returns
// instead of its result: a `Result<T>` carrying one fixed static message.
// Callers that cannot continue pass it on with `unwrap()`, which raises an
// internal failure quoting the message.
#pragma once

#include <cstddef>
#include <cstdio>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ostrel {

class Failure : public std::exception {
public:
    explicit Failure(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Diagnostic text shared by all threads of the process. A block is written
// to the stream's file descriptor in one piece: the stream's own buffer is
// flushed first (so that the block keeps its place after text written through
// the stream), then the block goes out with write(2), repeated only for the
// rest of a partial write. A process-wide mutex is held for the whole block,
// so blocks written from different threads, on either stream, never
// interleave. Write errors are ignored: a diagnostic never changes a result.
void write_diagnostic(std::FILE* stream, std::string_view block);

// Two blocks under one hold of the mutex: `first` to `first_stream`, then
// `second` to `second_stream` (a report that spans both standard streams).
void write_diagnostics(std::FILE* first_stream, std::string_view first, std::FILE* second_stream,
                       std::string_view second);

// Writes the diagnostic block of one internal failure to standard error.
void report_failure(const std::string& message,
                    std::source_location where = std::source_location::current());

// Writes the diagnostic block for `message` and throws a Failure carrying it.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// The failure of a list-like index past the end:
// "index out of bounds: the len is L but the index is I".
[[noreturn]] void fail_index(std::size_t len, std::size_t index,
                             std::source_location where = std::source_location::current());

// The failure of an array read past the end (a fixed text).
[[noreturn]] void fail_array_index(std::source_location where = std::source_location::current());

inline constexpr const char* kArrayIndexMessage = "array index out of bounds";

// Bounds-checked element reads. `at` reports the list form, `at_array` the
// fixed array form; both name the caller's source location.
inline double at(const std::vector<double>& v, std::size_t i,
                 std::source_location where = std::source_location::current()) {
    if (i >= v.size()) fail_index(v.size(), i, where);
    return v[i];
}

inline double at_array(const std::vector<double>& v, std::size_t i,
                       std::source_location where = std::source_location::current()) {
    if (i >= v.size()) fail_array_index(where);
    return v[i];
}

// "called `Result::unwrap()` on an `Err` value: \"<message>\"", with quotes,
// backslashes and control characters inside the message escaped.
std::string unwrap_message(const char* error);

template <class T>
class Result {
public:
    static Result ok(T value) { return Result(std::move(value), nullptr); }
    static Result err(const char* message) { return Result(T{}, message); }

    bool is_ok() const noexcept { return error_ == nullptr; }
    const char* error() const noexcept { return error_; }
    const T& value() const noexcept { return value_; }

    T unwrap(std::source_location where = std::source_location::current()) const {
        if (error_ != nullptr) fail(unwrap_message(error_), where);
        return value_;
    }

private:
    Result(T value, const char* error) : value_(std::move(value)), error_(error) {}
    T value_;
    const char* error_;
};

}  // namespace ostrel
