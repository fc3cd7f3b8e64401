#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "geodetic/unit_vec.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sferix::indexed {

using geodetic::Envelope;
using geodetic::UnitVec;

// A leaf of the point tree: the point's unit vector and its input position, and
// nothing else. The lon/lat stay in the tree's coordinate array (PointTree::coord),
// read only by the queries that need them.
//
// Packed to 28 bytes: a tree holds one per point, and the four bytes of padding
// an aligned layout would add are a seventh of the leaf. x86-64 reads the
// unaligned doubles at full speed.
//
// Object operations (squared chords, p a unit vector), the same values as
// GeodeticPoint's for the same vector:
//  - envelope(): the degenerate box at vector();
//  - distance_2(p): |vector() − p|², bit-equal to envelope().distance_2(p);
//  - contains_point(p): distance_2(p) ≤ 0;
//  - distance_2_if_less_or_equal(p, bound): distance_2(p) when ≤ bound (inclusive);
//    a negative or NaN bound gives nothing.
class [[gnu::packed]] PointLeaf {
public:
    using PointType = UnitVec;
    // Leaves per leaf-level node in a tree of `points`: with 16, a tree in the cache
    // opens nodes about as cheaply as with 6 or 8, a larger one reads almost as few
    // cache lines as with 32, and the nodes cost about 4.5 bytes a point. From 2^22
    // points on, where nearly every node read misses the cache anyway, 32 halves that.
    [[nodiscard]] static constexpr std::size_t leaf_node_capacity(std::size_t points) noexcept {
        return points < (std::size_t{1} << 22) ? 16 : 32;
    }

    PointLeaf(const UnitVec& vector, std::uint32_t position) noexcept
        : x_(vector.x), y_(vector.y), z_(vector.z), position_(position) {}

    [[nodiscard]] UnitVec vector() const noexcept { return UnitVec{x_, y_, z_}; }
    // The input position.
    [[nodiscard]] std::uint64_t data() const noexcept { return position_; }

    [[nodiscard]] Envelope envelope() const noexcept { return Envelope::from_point(vector()); }

    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept { return norm_2(vector() - p); }

    [[nodiscard]] bool contains_point(const UnitVec& p) const noexcept { return distance_2(p) <= 0.0; }

    // measured[i] = leaves[i].distance_2(p) for every leaf, bit for bit; bit i of
    // `within` set when that is not above `bound`; returns the least of them (infinity
    // for none; a NaN is passed over). Two leaves at a time: a walk measures every leaf
    // of each leaf-level node it opens, and keeps few.
    // REQUIRES: at most 32 leaves, `measured` has room for as many values.
    [[nodiscard]] static double distances_2(std::span<const PointLeaf> leaves, const UnitVec& p, double bound,
                                            double* measured, std::uint32_t& within) noexcept {
        using Pair = double __attribute__((vector_size(16)));
        const Pair px = {p.x, p.x};
        const Pair py = {p.y, p.y};
        const Pair pz = {p.z, p.z};
        const Pair bounds = {bound, bound};
        constexpr double INF = std::numeric_limits<double>::infinity();
        Pair nearest = {INF, INF};
        std::uint32_t mask = 0;
        std::size_t i = 0;
        for (; i + 2 <= leaves.size(); i += 2) {
            const PointLeaf& a = leaves[i];
            const PointLeaf& b = leaves[i + 1];
            const Pair dx = Pair{a.x_, b.x_} - px;
            const Pair dy = Pair{a.y_, b.y_} - py;
            const Pair dz = Pair{a.z_, b.z_} - pz;
            const Pair d = (dx * dx + dy * dy) + dz * dz;
            std::memcpy(measured + i, &d, sizeof d);
            nearest = d < nearest ? d : nearest;
#if defined(__SSE2__)
            mask |= static_cast<std::uint32_t>(_mm_movemask_pd(_mm_cmpgt_pd(d, bounds))) << i;
#else
            const auto beyond = d > bounds;  // lanes of all ones where true
            mask |= static_cast<std::uint32_t>((beyond[0] & 1) | (beyond[1] & 2)) << i;
#endif
        }
        double least = nearest[1] < nearest[0] ? nearest[1] : nearest[0];
        if (i < leaves.size()) {
            const double d = leaves[i].distance_2(p);
            measured[i] = d;
            least = d < least ? d : least;
            mask |= std::uint32_t{d > bound} << i;
        }
        const std::uint32_t all = leaves.size() >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << leaves.size()) - 1;
        within = ~mask & all;
        return least;
    }

    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept {
        const double measured_2 = distance_2(p);
        if (bound >= measured_2) {
            return measured_2;
        }
        return std::nullopt;
    }

private:
    double x_;
    double y_;
    double z_;
    std::uint32_t position_;
};

static_assert(sizeof(PointLeaf) == 28);

}  // namespace sferix::indexed
