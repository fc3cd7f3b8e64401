#pragma once

#include <cstddef>
#include <cstdint>

namespace sferix::rtree {

// A long walk over the tree (a search, the bulk load) counts its steps in a WalkCheck,
// which calls the program's walk_checkpoint every WALK_CHECK_STEPS steps so that the
// program can end the walk by an exception (sferix: when Ctrl-C stops a run). The tree
// knows nothing of threads or signals, so the program that uses it defines these two
// functions once; the walks let the exception pass and leave nothing behind.
//
// The program's context for walks started now on this thread; null when none needs
// checkpoints (then a step costs a decrement and a compare).
[[nodiscard]] void* walk_context() noexcept;
// Called with a non-null walk_context() of this thread; may throw.
void walk_checkpoint(void* context);

inline constexpr std::uint32_t WALK_CHECK_STEPS = 1024;

class WalkCheck {
public:
    WalkCheck() noexcept : context_(walk_context()) {}

    // One step (a node entered).
    void step() {
        if (--left_ == 0) [[unlikely]] {
            checkpoint();
        }
    }
    // `steps` steps at once (work as long as that many).
    void steps(std::size_t steps) {
        if (steps >= left_) {
            checkpoint();
        } else {
            left_ -= static_cast<std::uint32_t>(steps);
        }
    }

private:
    void checkpoint() {
        left_ = WALK_CHECK_STEPS;
        if (context_ != nullptr) {
            walk_checkpoint(context_);
        }
    }

    void* context_;
    std::uint32_t left_ = WALK_CHECK_STEPS;
};

}  // namespace sferix::rtree
