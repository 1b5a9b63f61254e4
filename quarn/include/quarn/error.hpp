#pragma once
// A fatal error abandons the whole operation in progress. It travels as a C++
// exception so that every owner on the way up releases what it holds; the
// Python module turns it into PanicException at its call boundary.

#include <exception>
#include <source_location>
#include <string>

namespace quarn {

class Fatal : public std::exception {
public:
    Fatal(std::string message, std::source_location where, bool resumed = false)
        : message_(std::move(message)), where_(where), resumed_(resumed) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // True when the error already crossed a Python boundary once and was
    // reported there; the outer boundary must not report it again.
    bool resumed() const noexcept { return resumed_; }

private:
    std::string message_;
    std::source_location where_;
    bool resumed_;
};

[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());
// The same for a fixed text; the text is copied inside, keeping the caller's
// frame small (it matters in the recursive evaluator).
[[noreturn]] void fail(const char* message,
                       std::source_location where = std::source_location::current());

}  // namespace quarn
