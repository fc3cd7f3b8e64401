#include "support/chunked_run.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace sferix::support {

std::size_t usable_cores() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::size_t>(count);
        }
    }
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

namespace stop_detail {

// The stop flag of one run, and its caller's polling.
struct StopState {
    StopState(const std::function<bool()>& keep_going_function, std::chrono::milliseconds interval)
        : keep_going(keep_going_function), poll_interval(interval), last_poll(std::chrono::steady_clock::now()) {}

    // On the caller's thread only: asks keep_going when a poll is due; false (the flag
    // then set) when the run is to stop. keep_going's exception sets the flag too.
    bool poll() {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll < poll_interval) {
            return !stopped.load(std::memory_order_relaxed);
        }
        last_poll = now;
        bool going = false;
        try {
            going = keep_going();
        } catch (...) {
            stopped.store(true, std::memory_order_relaxed);
            throw;
        }
        if (!going) {
            stopped.store(true, std::memory_order_relaxed);
        }
        return going;
    }

    std::atomic<bool> stopped{false};
    const std::function<bool()>& keep_going;
    const std::chrono::milliseconds poll_interval;
    std::chrono::steady_clock::time_point last_poll;
};

namespace {

// The run this thread works for, and whether it started it; null outside a run.
struct ThreadRun {
    StopState* state = nullptr;
    bool caller = false;
};

thread_local ThreadRun this_thread_run;

// Makes `state` this thread's run for the guard's lifetime.
class RunScope {
public:
    RunScope(StopState* state, bool caller) noexcept : saved_(this_thread_run) { this_thread_run = {state, caller}; }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;
    ~RunScope() { this_thread_run = saved_; }

private:
    ThreadRun saved_;
};

ThreadRun current_run() noexcept { return this_thread_run; }

}  // namespace

// The state's address with the caller flag in its lowest bit (a StopState is aligned).
static_assert(alignof(StopState) >= 2);

void* current_context() noexcept {
    return this_thread_run.state == nullptr
               ? nullptr
               : reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(this_thread_run.state) |
                                         static_cast<std::uintptr_t>(this_thread_run.caller));
}

void checkpoint(void* context) {
    const auto word = reinterpret_cast<std::uintptr_t>(context);
    const ThreadRun run{reinterpret_cast<StopState*>(word & ~std::uintptr_t{1}), (word & 1) != 0};
    if (run.state->stopped.load(std::memory_order_relaxed)) {
        throw RunStopped{};
    }
    if (run.caller && !run.state->poll()) {
        throw RunStopped{};
    }
}

}  // namespace stop_detail

using stop_detail::current_run;
using stop_detail::RunScope;
using stop_detail::StopState;
using stop_detail::ThreadRun;

namespace {

// What the threads of one run share.
class SharedRun {
public:
    SharedRun(std::size_t count, std::size_t chunk_size, const std::function<void(std::size_t, std::size_t)>& work)
        : count_(count),
          chunk_size_(chunk_size),
          chunks_(count / chunk_size + (count % chunk_size != 0)),
          work_(work) {}

    // Runs chunks until none is left or the run stops; records a failure and stops.
    void run_chunks() noexcept {
        try {
            while (!stopped_.load(std::memory_order_relaxed)) {
                const std::size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
                if (chunk >= chunks_) {
                    return;
                }
                const std::size_t begin = chunk * chunk_size_;
                work_(begin, std::min(count_, begin + chunk_size_));
            }
        } catch (const RunStopped&) {
            stop();  // the caller sees the flag and ends the run
        } catch (...) {
            fail(std::current_exception());
        }
    }

    // Like run_chunks, but returns after each chunk so the caller can poll; false when
    // nothing is left to run.
    bool run_one_chunk() {
        if (stopped_.load(std::memory_order_relaxed)) {
            return false;
        }
        const std::size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
        if (chunk >= chunks_) {
            return false;
        }
        const std::size_t begin = chunk * chunk_size_;
        work_(begin, std::min(count_, begin + chunk_size_));
        return true;
    }

    [[nodiscard]] std::size_t chunks() const noexcept { return chunks_; }
    void stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

    void fail(std::exception_ptr failure) noexcept {
        stop();
        const std::lock_guard lock(mutex_);
        if (!failure_) {
            failure_ = std::move(failure);
        }
    }

    void helper_started() {
        const std::lock_guard lock(mutex_);
        ++helpers_running_;
    }
    void helper_finished() noexcept {
        {
            const std::lock_guard lock(mutex_);
            --helpers_running_;
        }
        done_.notify_all();
    }
    // Waits up to `interval` for every helper to finish; true when they have.
    bool wait_for_helpers(std::chrono::milliseconds interval) {
        std::unique_lock lock(mutex_);
        return done_.wait_for(lock, interval, [this] { return helpers_running_ == 0; });
    }

    [[nodiscard]] std::exception_ptr failure() {
        const std::lock_guard lock(mutex_);
        return failure_;
    }

private:
    const std::size_t count_;
    const std::size_t chunk_size_;
    const std::size_t chunks_;
    const std::function<void(std::size_t, std::size_t)>& work_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t helpers_running_ = 0;
    std::exception_ptr failure_;
};

// Joins the helpers on every path out of run_chunked, after telling them to stop when
// the run did not finish normally.
class Helpers {
public:
    Helpers(SharedRun& run, StopState& state) : run_(run), state_(state) {}
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;
    ~Helpers() {
        if (std::uncaught_exceptions() > 0) {
            run_.stop();
        }
        for (std::thread& thread : threads_) {
            thread.join();
        }
    }

    // Starts up to `wanted` helpers; a refused thread means fewer of them, not an error,
    // since the caller's own loop still runs every chunk.
    void start(std::size_t wanted) {
        threads_.reserve(wanted);
        for (std::size_t i = 0; i < wanted; ++i) {
            run_.helper_started();
            try {
                threads_.emplace_back([this] {
                    const RunScope scope(&state_, false);
                    run_.run_chunks();
                    run_.helper_finished();
                });
            } catch (const std::system_error&) {
                run_.helper_finished();
                return;
            }
        }
    }

private:
    SharedRun& run_;
    StopState& state_;
    std::vector<std::thread> threads_;
};

}  // namespace

RunOutcome run_chunked(std::size_t count, const ChunkedRunOptions& options,
                       const std::function<void(std::size_t, std::size_t)>& work,
                       const std::function<bool()>& keep_going) {
    const ThreadRun outer = current_run();
    const bool nested = outer.state != nullptr && outer.caller;
    StopState own(keep_going, options.poll_interval);
    StopState& state = nested ? *outer.state : own;
    const RunScope scope(&state, true);
    SharedRun run(count, std::max<std::size_t>(1, options.chunk_size), work);
    bool cancelled = false;
    {
        Helpers helpers(run, state);
        const std::size_t threads = std::min(std::max<std::size_t>(1, options.workers), run.chunks());
        if (threads > 1) {
            helpers.start(threads - 1);
        }
        try {
            while (run.run_one_chunk()) {
                if (!state.poll()) {
                    cancelled = true;
                    run.stop();
                    break;
                }
            }
            while (!run.wait_for_helpers(options.poll_interval)) {
                if (!cancelled && !state.poll()) {
                    cancelled = true;
                    run.stop();
                }
            }
        } catch (const RunStopped&) {
            // A check in this thread's chunk saw the flag; the helpers see it too.
            cancelled = true;
            run.stop();
        } catch (...) {
            run.fail(std::current_exception());
        }
    }
    if (const std::exception_ptr failure = run.failure()) {
        std::rethrow_exception(failure);
    }
    if (cancelled && nested) {
        throw RunStopped{};
    }
    return cancelled ? RunOutcome::Cancelled : RunOutcome::Finished;
}

RunOutcome run_stoppable(std::chrono::milliseconds poll_interval, const std::function<bool()>& keep_going,
                         const std::function<void()>& body) {
    const ThreadRun outer = current_run();
    if (outer.state != nullptr && outer.caller) {
        body();
        return RunOutcome::Finished;
    }
    StopState state(keep_going, poll_interval);
    const RunScope scope(&state, true);
    try {
        body();
    } catch (const RunStopped&) {
        return RunOutcome::Cancelled;
    }
    return RunOutcome::Finished;
}

}  // namespace sferix::support
