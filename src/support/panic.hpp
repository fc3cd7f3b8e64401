#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace sferix::support {

// The single exception type of a broken internal invariant. Valid input never
// raises it; only the Python entry wrapper catches it (as PanicException).
// Never use it for bad user input: that is a GeodeticError or a Python error.
class Panic final : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Prints the diagnostic and a back-trace on standard error, then throws Panic.
// Cold and taking a view, so that a check on a hot path (an axis index, a heap
// comparison) costs its callers one compare and a call that is never taken, and
// does not stop the compiler from inlining them.
[[noreturn, gnu::cold, gnu::noinline]] void panic(std::string_view message);

}  // namespace sferix::support

// Checks an internal invariant; on failure panics with the fixed text `message`.
#define SFERIX_ASSERT(condition, message)               \
    do {                                                \
        if (!(condition)) {                             \
            ::sferix::support::panic(message);          \
        }                                               \
    } while (false)
