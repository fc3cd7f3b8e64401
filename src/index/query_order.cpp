#include "index/query_order.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>

#include "support/chunked_run.hpp"

namespace sferix::indexed {

namespace {

constexpr unsigned CELL_BITS = 10;
constexpr std::uint32_t CELLS = 1U << CELL_BITS;
constexpr unsigned KEY_BITS = 3 * CELL_BITS;
// Keys carry the query index in their low half, so sorting them sorts (key, index).
constexpr unsigned INDEX_BITS = 32;
// Below this many queries one comparison sort is cheaper than clearing the counters.
constexpr std::size_t RADIX_MIN_QUERIES = 1024;

// The cell of a coordinate in [−1, 1]; out-of-range values (and NaN) clamp to an end.
std::uint64_t cell(double coordinate) noexcept {
    const double scaled = (coordinate + 1.0) * (0.5 * CELLS);
    if (!(scaled > 0.0)) {
        return 0;
    }
    return scaled < CELLS ? static_cast<std::uint64_t>(scaled) : CELLS - 1;
}

// The 10 bits of v spread to every third bit.
std::uint64_t spread(std::uint64_t v) noexcept {
    v = (v | (v << 16)) & 0x030000FFU;
    v = (v | (v << 8)) & 0x0300F00FU;
    v = (v | (v << 4)) & 0x030C30C3U;
    v = (v | (v << 2)) & 0x09249249U;
    return v;
}

std::uint64_t morton_key(const geodetic::UnitVec& v) noexcept {
    return (spread(cell(v.x)) << 2) | (spread(cell(v.y)) << 1) | spread(cell(v.z));
}

// Stable least-significant-digit sort of `keys` on their Morton bits, CELL_BITS per
// pass; the three passes' counts are taken in one read of the keys. 4·10^6 keys take
// about 100 ms of scattered writes, so it steps a StopCheck for each (Ctrl-C).
void radix_sort(std::vector<std::uint64_t>& keys) {
    constexpr unsigned PASSES = KEY_BITS / CELL_BITS;
    support::StopCheck stop;
    std::vector<std::array<std::size_t, CELLS>> starts(PASSES);
    for (const std::uint64_t key : keys) {
        stop.visit();
        for (unsigned pass = 0; pass < PASSES; ++pass) {
            ++starts[pass][(key >> (INDEX_BITS + pass * CELL_BITS)) & (CELLS - 1)];
        }
    }
    std::vector<std::uint64_t> buffer(keys.size());
    for (unsigned pass = 0; pass < PASSES; ++pass) {
        std::size_t total = 0;
        for (std::size_t& start : starts[pass]) {
            total += std::exchange(start, total);
        }
        const unsigned shift = INDEX_BITS + pass * CELL_BITS;
        for (const std::uint64_t key : keys) {
            stop.visit();
            buffer[starts[pass][(key >> shift) & (CELLS - 1)]++] = key;
        }
        keys.swap(buffer);
    }
}

}  // namespace

std::vector<std::size_t> locality_order(std::span<const geodetic::GeodeticPoint> queries, std::size_t workers) {
    std::vector<std::size_t> order(queries.size());
    if (queries.size() > std::numeric_limits<std::uint32_t>::max()) {
        std::iota(order.begin(), order.end(), std::size_t{0});
        return order;
    }
    // The keys and the final read-out are shared out; the sort itself is one thread's.
    constexpr std::size_t QUERIES_PER_CHUNK = 8192;
    const support::ChunkedRunOptions options{.workers = workers, .chunk_size = QUERIES_PER_CHUNK};
    const auto keep_going = [] { return true; };  // inside a stoppable run, that run's is asked
    std::vector<std::uint64_t> keys(queries.size());
    support::run_chunked(
        queries.size(), options,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                keys[i] = (morton_key(queries[i].vector()) << INDEX_BITS) | i;
            }
        },
        keep_going);
    if (keys.size() < RADIX_MIN_QUERIES) {
        std::sort(keys.begin(), keys.end());
    } else {
        radix_sort(keys);
    }
    constexpr std::uint64_t INDEX_MASK = (std::uint64_t{1} << INDEX_BITS) - 1;
    support::run_chunked(
        keys.size(), options,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                order[i] = static_cast<std::size_t>(keys[i] & INDEX_MASK);
            }
        },
        keep_going);
    return order;
}

}  // namespace sferix::indexed
