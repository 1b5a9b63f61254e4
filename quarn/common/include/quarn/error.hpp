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
    Fatal(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());
// The same for a fixed text; no text is built until the error is raised.
[[noreturn]] void fail(const char* message,
                       std::source_location where = std::source_location::current());

}  // namespace quarn
