#pragma once

// Long C++ work without the GIL that Ctrl-C can stop: the calling thread runs it as a
// stoppable run (support::run_stoppable) whose polls take the GIL back for a moment to
// run the signal handlers. A handler that raises (KeyboardInterrupt) stops the run at
// its next check, on every thread, and the work made so far is dropped.

#include <chrono>
#include <functional>

#include "toolkit/gil.hpp"
#include "toolkit/python_api.hpp"

#include "support/chunked_run.hpp"

namespace sferix::python {

// Often enough that Ctrl-C answers within a fifth of a second with room to spare for
// the run's unwinding, rarely enough that taking the GIL back costs nothing measurable.
inline constexpr std::chrono::milliseconds POLL_INTERVAL{25};

// Runs body() with the GIL released; false with the handler's exception pending when
// a signal handler raised and the run stopped. REQUIRES: the GIL is held.
template <typename Body>
[[nodiscard]] bool run_interruptibly(Body&& body) {
    ReleasedGil released;
    const std::function<bool()> keep_going = [&released] {
        return released.while_holding([] { return PyErr_CheckSignals() == 0; });
    };
    const std::function<void()> run = [&body] { body(); };
    return support::run_stoppable(POLL_INTERVAL, keep_going, run) == support::RunOutcome::Finished;
}

}  // namespace sferix::python
