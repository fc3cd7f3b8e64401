#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"
#include "geodetic/unit_vec.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

// One item of a linestring or polygon tree: one geometry, or several that count as one
// (a MultiLineString, a MultiPolygon: an island state, a road with a gap). Its distance
// is the smallest over its parts; a polygon item contains a point when any part does.
//
//   const auto item = MultiPart<GeodeticPolygon>::of_parts(std::move(parts));
//   item.distance_2(p);   // min over the parts, each pruned by its own box first
//
// The first part is held inline, so a single-part item, the many, reads its geometry
// where it read it before, and only tests that no other part follows. Immutable,
// movable, safe to read from any thread. Satisfies rtree::RTreeObject.
template <typename G>
class MultiPart {
public:
    using PointType = UnitVec;

    // An item of one part.
    explicit MultiPart(G single) : first_(std::move(single)) {}

    // An item of `parts`, in order. REQUIRES: at least one part.
    [[nodiscard]] static MultiPart of_parts(std::vector<G>&& parts) {
        SFERIX_ASSERT(!parts.empty(), "an item has at least one part");
        MultiPart item(std::move(parts.front()));
        item.envelope_ = item.first_.envelope();
        item.rest_.reserve(parts.size() - 1);
        for (std::size_t i = 1; i < parts.size(); ++i) {
            item.envelope_.merge(parts[i].envelope());
            item.rest_.push_back(std::move(parts[i]));
        }
        item.multipart_ = true;
        return item;
    }

    // Whether the item was given as a multipart geometry (even of one part), so that it
    // is handed back as one.
    [[nodiscard]] bool is_multipart() const noexcept { return multipart_; }
    [[nodiscard]] std::size_t part_count() const noexcept { return rest_.size() + 1; }
    // Part i (< part_count()), in input order.
    [[nodiscard]] const G& part(std::size_t i) const noexcept { return i == 0 ? first_ : rest_[i - 1]; }

    // The union of the parts' boxes.
    [[nodiscard]] const Envelope& envelope() const noexcept { return rest_.empty() ? first_.envelope() : envelope_; }

    // The smallest distance_2 over the parts.
    [[nodiscard]] double distance_2(const UnitVec& p) const noexcept {
        if (rest_.empty()) [[likely]] {
            return first_.distance_2(p);
        }
        const std::optional<double> d = distance_2_if_less_or_equal(p, std::numeric_limits<double>::infinity());
        return d ? *d : std::numeric_limits<double>::infinity();
    }

    // distance_2(p) when it is ≤ bound (inclusive), else nothing; a negative or NaN
    // bound gives nothing. Each part is measured only when its own box is within the
    // best distance so far, so an item answers about as a tree of its parts would.
    [[nodiscard]] std::optional<double> distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept {
        if (rest_.empty()) [[likely]] {
            return first_.distance_2_if_less_or_equal(p, bound);
        }
        std::optional<double> best;
        for (std::size_t i = 0; i < part_count(); ++i) {
            const G& g = part(i);
            if (g.envelope().distance_2(p) > bound) {
                continue;
            }
            if (const std::optional<double> d = g.distance_2_if_less_or_equal(p, bound)) {
                best = d;
                bound = *d;
                if (bound <= 0.0) {
                    break;
                }
            }
        }
        return best;
    }

private:
    // A query of a single-part item reads the part's own envelope, its last field, and
    // rest_ right after it: no cache line more than the geometry alone.
    G first_;
    std::vector<G> rest_;
    // The union of the parts' boxes; unused for one part.
    Envelope envelope_ = Envelope::new_empty();
    bool multipart_ = false;
};

using LineStringItem = MultiPart<GeodeticLineString>;
using PolygonItem = MultiPart<GeodeticPolygon>;

}  // namespace sferix::geodetic
