#pragma once

// Running one job over many items on several threads, in chunks, with a way to stop it
// from the calling thread:
//
//   ChunkedRunOptions options{.workers = usable_cores()};
//   const RunOutcome outcome = run_chunked(rows, options,
//       [&](std::size_t begin, std::size_t end) { for (i = begin; i < end; ++i) answer(i); },
//       [&] { return !interrupted(); });
//
// Chunks are [0, c), [c, 2c), ...: which thread runs a chunk varies from run to run, so
// a job that must give the same result for every number of workers writes each item's
// answer to a place of its own (its row, or its chunk's slot). No Python here: the
// caller decides what keep_going checks and what it needs to do so.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace sferix::support {

enum class RunOutcome {
    Finished,   // every chunk ran
    Cancelled,  // keep_going returned false; chunks not yet started never ran
};

struct ChunkedRunOptions {
    std::size_t workers = 1;     // threads, the caller included; 0 counts as 1
    std::size_t chunk_size = 64;  // items per chunk; 0 counts as 1
    // How often, at most, the caller asks keep_going (between its chunks, and while it
    // waits for the other threads).
    std::chrono::milliseconds poll_interval{100};
};

// The number of cores this process may run on (its CPU affinity), at least 1.
[[nodiscard]] std::size_t usable_cores() noexcept;

// Runs work(begin, end) once for every chunk of [0, count), on up to options.workers
// threads: the calling thread and workers − 1 it starts (fewer when there are fewer
// chunks, or when the system refuses a thread). keep_going runs on the calling thread
// only, between its chunks and while it waits for the others, at most about every
// poll_interval; once it returns false, no further chunk starts, the running ones
// finish, and the result is Cancelled. Every started thread is joined before return.
// An exception thrown by `work` (on any thread) or by keep_going stops the run the same
// way and is rethrown here, on the calling thread; when several threads fail, one of
// their exceptions is rethrown. StopChecks inside `work` stop the running chunks too
// (see StopCheck). Called inside run_stoppable, the run polls that run's keep_going
// instead of its own, and a stop unwinds to run_stoppable rather than returning.
RunOutcome run_chunked(std::size_t count, const ChunkedRunOptions& options,
                       const std::function<void(std::size_t, std::size_t)>& work,
                       const std::function<bool()>& keep_going);

// Stopping a run midway. A long walk (a search, a bulk load, a loader's check) holds a
// StopCheck and calls visit() at each node or item it takes on: every STOP_CHECK_VISITS
// visits it looks at the stop flag of the run its thread works for, and throws
// RunStopped once that is set. On the thread that started the run it also asks the
// run's keep_going when a poll is due, so that a run whose every chunk is one long
// walk still answers within about a poll interval. Outside a run, visit() costs a
// decrement and never throws. RunStopped is caught by run_chunked and run_stoppable,
// never seen by their callers; code between a StopCheck and them must be exception
// safe (it is: whatever a stopped run made is dropped).
struct RunStopped {};

inline constexpr std::uint32_t STOP_CHECK_VISITS = 1024;

namespace stop_detail {
// The run this thread works for, and whether it started it, as one opaque word; null
// outside a run. (Opaque so that layers below support, the generic tree, can hold it.)
[[nodiscard]] void* current_context() noexcept;
// Throws RunStopped when the run is to stop; on the caller's thread, polls when due.
// REQUIRES: context is a non-null current_context() of this thread.
void checkpoint(void* context);
}  // namespace stop_detail

class StopCheck {
public:
    StopCheck() noexcept : context_(stop_detail::current_context()) {}

    // One unit of work done (a node, an item); may throw RunStopped.
    void visit() {
        if (--left_ == 0) [[unlikely]] {
            check();
        }
    }
    // `units` units of work done at once (a step that costs as much as that many visits).
    void visit(std::size_t units) {
        if (units >= left_) {
            check();
        } else {
            left_ -= static_cast<std::uint32_t>(units);
        }
    }

private:
    void check() {
        left_ = STOP_CHECK_VISITS;
        if (context_ != nullptr) {
            stop_detail::checkpoint(context_);
        }
    }

    void* context_;
    std::uint32_t left_ = STOP_CHECK_VISITS;
};

// Runs body() on the calling thread as a run of its own: StopChecks inside it (and in
// every run_chunked it starts, on all their threads) stop it once keep_going, asked
// at most about every poll_interval from the checks on this thread, returns false.
// Finished when body returned, Cancelled when it was stopped (body's work is then
// dropped by unwinding). Inside another run, body simply runs as part of that one.
RunOutcome run_stoppable(std::chrono::milliseconds poll_interval, const std::function<bool()>& keep_going,
                         const std::function<void()>& body);

}  // namespace sferix::support
