#include "support/chunked_run.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sferix::support {
namespace {

class ChunkedRunWorkers : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChunkedRunWorkers, RunsEveryItemExactlyOnce) {
    for (const std::size_t count : {0U, 1U, 63U, 64U, 65U, 1000U}) {
        std::vector<std::atomic<int>> seen(count);
        const RunOutcome outcome = run_chunked(
            count, {.workers = GetParam(), .chunk_size = 64},
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    seen[i].fetch_add(1);
                }
            },
            [] { return true; });
        EXPECT_EQ(outcome, RunOutcome::Finished);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(seen[i].load(), 1) << "item " << i << " of " << count;
        }
    }
}

// A failure on any thread comes out on the caller, after every thread has finished.
// (How many chunks still run meanwhile depends on the threads' timing.)
TEST_P(ChunkedRunWorkers, RethrowsAnExceptionOfAnyChunk) {
    const auto run = [&] {
        return run_chunked(
            10'000, {.workers = GetParam(), .chunk_size = 1},
            [&](std::size_t begin, std::size_t) {
                if (begin == 37) {
                    throw std::runtime_error("chunk 37");
                }
            },
            [] { return true; });
    };
    EXPECT_THROW(run(), std::runtime_error);
}

// keep_going is asked while chunks still run, and a false answer stops new chunks.
TEST_P(ChunkedRunWorkers, StopsWhenKeepGoingSaysNo) {
    std::atomic<std::size_t> chunks_run{0};
    std::size_t polls = 0;
    const RunOutcome outcome = run_chunked(
        100'000, {.workers = GetParam(), .chunk_size = 1, .poll_interval = std::chrono::milliseconds(1)},
        [&](std::size_t, std::size_t) {
            chunks_run.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        },
        [&] { return ++polls < 3; });
    EXPECT_EQ(outcome, RunOutcome::Cancelled);
    EXPECT_EQ(polls, 3U);
    EXPECT_LT(chunks_run.load(), 100'000U);
}

// Every chunk is one endless walk: only the checks inside it can end the run, on the
// caller's thread through its polls and on the others through the flag.
TEST_P(ChunkedRunWorkers, StopsWalksInsideTheirChunk) {
    std::size_t polls = 0;
    std::atomic<std::size_t> walks_started{0};
    std::atomic<std::size_t> walks_left{0};
    const RunOutcome outcome = run_chunked(
        GetParam(), {.workers = GetParam(), .chunk_size = 1, .poll_interval = std::chrono::milliseconds(1)},
        [&](std::size_t, std::size_t) {
            walks_started.fetch_add(1);
            StopCheck stop;
            for (;;) {
                try {
                    stop.visit();
                } catch (...) {
                    walks_left.fetch_add(1);
                    throw;
                }
            }
        },
        [&] { return ++polls < 3; });
    EXPECT_EQ(outcome, RunOutcome::Cancelled);
    EXPECT_EQ(polls, 3U);
    EXPECT_GE(walks_started.load(), 1U);  // the caller's, at least; a late helper may find the run over
    EXPECT_EQ(walks_left.load(), walks_started.load());
}

// Inside run_stoppable, a run asks the outer keep_going (its own is for runs on their
// own) and its stop unwinds to run_stoppable, whatever ran in between.
TEST_P(ChunkedRunWorkers, RunStoppableStopsNestedRuns) {
    std::size_t polls = 0;
    bool inner_asked = false;
    bool after_inner_run = false;
    const RunOutcome outcome = run_stoppable(
        std::chrono::milliseconds(1), [&] { return ++polls < 3; },
        [&] {
            static_cast<void>(run_chunked(
                4, {.workers = GetParam(), .chunk_size = 1},
                [](std::size_t, std::size_t) {
                    StopCheck stop;
                    for (;;) {
                        stop.visit();
                    }
                },
                [&] { return inner_asked = true; }));
            after_inner_run = true;
        });
    EXPECT_EQ(outcome, RunOutcome::Cancelled);
    EXPECT_FALSE(inner_asked);
    EXPECT_FALSE(after_inner_run);
}

INSTANTIATE_TEST_SUITE_P(ChunkedRun, ChunkedRunWorkers, ::testing::Values(1U, 2U, 5U));

TEST(ChunkedRun, UsableCoresIsAtLeastOne) { EXPECT_GE(usable_cores(), 1U); }

TEST(StopCheck, NeverStopsOutsideARun) {
    StopCheck stop;
    for (std::size_t i = 0; i < 10 * STOP_CHECK_VISITS; ++i) {
        stop.visit();
    }
    EXPECT_EQ(run_stoppable(std::chrono::milliseconds(0), [] { return true; }, [] {
        StopCheck inside;
        for (std::size_t i = 0; i < 10 * STOP_CHECK_VISITS; ++i) {
            inside.visit(3);
        }
    }), RunOutcome::Finished);
}

}  // namespace
}  // namespace sferix::support
