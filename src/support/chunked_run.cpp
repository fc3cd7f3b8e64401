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
    explicit Helpers(SharedRun& run) : run_(run) {}
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
    std::vector<std::thread> threads_;
};

}  // namespace

RunOutcome run_chunked(std::size_t count, const ChunkedRunOptions& options,
                       const std::function<void(std::size_t, std::size_t)>& work,
                       const std::function<bool()>& keep_going) {
    SharedRun run(count, std::max<std::size_t>(1, options.chunk_size), work);
    bool cancelled = false;
    {
        Helpers helpers(run);
        const std::size_t threads = std::min(std::max<std::size_t>(1, options.workers), run.chunks());
        if (threads > 1) {
            helpers.start(threads - 1);
        }
        auto last_poll = std::chrono::steady_clock::now();
        const auto poll_due = [&] {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_poll < options.poll_interval) {
                return false;
            }
            last_poll = now;
            return true;
        };
        try {
            while (run.run_one_chunk()) {
                if (poll_due() && !keep_going()) {
                    cancelled = true;
                    run.stop();
                    break;
                }
            }
            while (!run.wait_for_helpers(options.poll_interval)) {
                if (!cancelled && poll_due() && !keep_going()) {
                    cancelled = true;
                    run.stop();
                }
            }
        } catch (...) {
            run.fail(std::current_exception());
        }
    }
    if (const std::exception_ptr failure = run.failure()) {
        std::rethrow_exception(failure);
    }
    return cancelled ? RunOutcome::Cancelled : RunOutcome::Finished;
}

}  // namespace sferix::support
