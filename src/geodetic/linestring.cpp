#include "geodetic/linestring.hpp"

#include <utility>

#include "geodetic/chain.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

namespace {
constexpr std::size_t MIN_LINESTRING_VERTICES = 2;
}

Envelope arc_aware_bounding_box(std::span<const UnitVec> vectors) {
    SFERIX_ASSERT(vectors.size() >= 2, "a linestring has at least one edge");
    Envelope box = Envelope::new_empty();
    merge_arc_boxes(vectors, box);
    return box;
}

Result<GeodeticLineString> GeodeticLineString::try_from_lonlat(std::vector<LonLat> pairs) {
    auto coords = try_coords_from_lonlat(pairs);
    if (!coords) {
        return coords.error();
    }
    if (coords.value().size() < MIN_LINESTRING_VERTICES) {
        return GeodeticError::too_few_points(coords.value().size(), MIN_LINESTRING_VERTICES);
    }
    std::vector<UnitVec> vectors = embed_all(coords.value());
    if (const auto bad_edge = first_inadmissible_edge(vectors)) {
        return GeodeticError::antipodal_edge(*bad_edge);
    }
    const Envelope envelope = arc_aware_bounding_box(vectors);
    return GeodeticLineString(std::move(coords).value(), std::move(vectors), envelope);
}

GeodeticLineString::GeodeticLineString(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors,
                                       const Envelope& envelope) noexcept
    : coords_(std::move(coords)), vectors_(std::move(vectors)), envelope_(envelope) {}

double GeodeticLineString::distance_2(const UnitVec& p) const noexcept {
    return chain_distance_2(vectors_, p);
}

}  // namespace sferix::geodetic
