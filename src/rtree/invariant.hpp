#pragma once

#include <string_view>

namespace sferix::rtree {

// Reports a broken internal invariant of the tree (never bad input) and does not
// return. The tree is header-only and has no error policy of its own, so the
// program that uses it defines this function once; sferix throws its panic.
[[noreturn, gnu::cold, gnu::noinline]] void invariant_broken(std::string_view message);

// Checks an internal invariant of the tree; on failure reports the fixed text
// `message`. Inline, so a hot check costs one compare and an untaken call.
inline void check_invariant(bool holds, std::string_view message) {
    if (!holds) [[unlikely]] {
        invariant_broken(message);
    }
}

}  // namespace sferix::rtree
