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
// their exceptions is rethrown.
RunOutcome run_chunked(std::size_t count, const ChunkedRunOptions& options,
                       const std::function<void(std::size_t, std::size_t)>& work,
                       const std::function<bool()>& keep_going);

}  // namespace sferix::support
