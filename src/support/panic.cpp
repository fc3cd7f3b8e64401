#include "support/panic.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cstdio>

namespace sferix::support {

namespace {

constexpr int MAX_BACKTRACE_FRAMES = 64;

void print_backtrace() {
    void* frames[MAX_BACKTRACE_FRAMES];
    const int count = backtrace(frames, MAX_BACKTRACE_FRAMES);
    // Written straight to the descriptor: no allocation while the process may be in a bad state.
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

}  // namespace

void panic(std::string_view message) {
    std::fprintf(stderr, "sferix: internal assertion failed: %.*s\n", static_cast<int>(message.size()), message.data());
    print_backtrace();
    throw Panic(std::string(message));
}

}  // namespace sferix::support
