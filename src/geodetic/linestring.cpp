#include "geodetic/linestring.hpp"

#include <limits>
#include <memory>
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

ValidatedLineString::ValidatedLineString(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors) noexcept
    : coords_(std::move(coords)), vectors_(std::move(vectors)) {}

Result<ValidatedLineString> GeodeticLineString::try_validate_lonlat(std::vector<LonLat> pairs) {
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
    return ValidatedLineString(std::move(coords).value(), std::move(vectors));
}

Result<GeodeticLineString> GeodeticLineString::try_from_lonlat(std::vector<LonLat> pairs) {
    auto vertices = try_validate_lonlat(std::move(pairs));
    if (!vertices) {
        return vertices.error();
    }
    return from_validated(std::move(vertices).value());
}

GeodeticLineString GeodeticLineString::from_validated(ValidatedLineString vertices) {
    std::vector<UnitVec>& vectors = vertices.vectors_;
    if (vectors.size() - 1 >= EdgeIndex::MIN_INDEXED_EDGES) {
        const std::span<const UnitVec> chain(vectors);
        auto edges = std::make_shared<const EdgeIndex>(EdgeIndex::build(std::span(&chain, 1)));
        const Envelope envelope = edges->bounds();
        return GeodeticLineString(std::move(vertices.coords_), std::move(vectors), envelope, std::move(edges));
    }
    const Envelope envelope = arc_aware_bounding_box(vectors);
    return GeodeticLineString(std::move(vertices.coords_), std::move(vectors), envelope, nullptr);
}

GeodeticLineString::GeodeticLineString(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors,
                                       const Envelope& envelope, std::shared_ptr<const EdgeIndex> edges) noexcept
    : coords_(std::move(coords)), vectors_(std::move(vectors)), edges_(std::move(edges)), envelope_(envelope) {}

ChainSource GeodeticLineString::chain_source() const noexcept {
    return {this, [](const void* owner, std::uint32_t) noexcept -> std::span<const UnitVec> {
                return static_cast<const GeodeticLineString*>(owner)->vectors_;
            }};
}

double GeodeticLineString::edge_distance_2(const UnitVec& p, double bound) const noexcept {
    if (edges_) {
        return edges_->min_distance_2(p, bound, chain_source());
    }
    return chain_distance_2(vectors_, p);
}

double GeodeticLineString::distance_2(const UnitVec& p) const noexcept {
    return edge_distance_2(p, std::numeric_limits<double>::infinity());
}

std::optional<double> GeodeticLineString::distance_2_if_less_or_equal(const UnitVec& p, double bound) const noexcept {
    if (!(bound >= 0.0)) {
        return std::nullopt;
    }
    const double d = edge_distance_2(p, bound);
    if (d <= bound) {
        return d;
    }
    return std::nullopt;
}

}  // namespace sferix::geodetic
