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

INSTANTIATE_TEST_SUITE_P(ChunkedRun, ChunkedRunWorkers, ::testing::Values(1U, 2U, 5U));

TEST(ChunkedRun, UsableCoresIsAtLeastOne) { EXPECT_GE(usable_cores(), 1U); }

}  // namespace
}  // namespace sferix::support
