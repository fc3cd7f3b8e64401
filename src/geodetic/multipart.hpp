#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "geodetic/linestring.hpp"
#include "geodetic/polygon.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

// One item of a linestring or polygon tree: one geometry, or several that count as one
// (a MultiLineString, a MultiPolygon: an island state, a road with a gap). Its distance
// is the smallest over its parts, and a polygon item contains a point when any part
// does; a tree indexes each part as a leaf of its own at the item's position (see
// tree.hpp), so that each part is pruned by its own box.
//
//   const auto item = MultiPart<GeodeticPolygon>::of_parts(std::move(parts));
//   for (std::size_t i = 0; i < item.part_count(); ++i) use(item.part(i));
//
// The first part is held inline, so a single-part item, the many, costs no allocation
// more than its geometry. Immutable, movable, safe to read from any thread.
template <typename G>
class MultiPart {
public:
    // An item of one part.
    explicit MultiPart(G single) : first_(std::move(single)) {}

    // A multipart item of `parts`, in order. REQUIRES: at least one part.
    [[nodiscard]] static MultiPart of_parts(std::vector<G>&& parts) {
        SFERIX_ASSERT(!parts.empty(), "an item has at least one part");
        MultiPart item(std::move(parts.front()));
        item.rest_.reserve(parts.size() - 1);
        for (std::size_t i = 1; i < parts.size(); ++i) {
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

private:
    G first_;
    std::vector<G> rest_;
    bool multipart_ = false;
};

using LineStringItem = MultiPart<GeodeticLineString>;
using PolygonItem = MultiPart<GeodeticPolygon>;

}  // namespace sferix::geodetic
