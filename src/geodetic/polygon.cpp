#include "geodetic/polygon.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "geodetic/chain.hpp"
#include "predicates/orient3d.hpp"
#include "support/panic.hpp"

namespace sferix::geodetic {

namespace {

constexpr std::size_t MIN_DISTINCT_RING_VERTICES = 3;

// Same vertex: lon and lat compare equal, so -0.0 and 0.0 are the same value.
bool same_vertex(const GeodeticCoord& a, const GeodeticCoord& b) noexcept {
    return a.lon() == b.lon() && a.lat() == b.lat();
}

// The number of distinct vertices among all but the last, counted only up to
// MIN_DISTINCT_RING_VERTICES (the exact count matters only below it), so the scan is
// linear and allocation-free however long the ring.
std::size_t count_distinct_open_vertices(const std::vector<GeodeticCoord>& coords) noexcept {
    std::array<const GeodeticCoord*, MIN_DISTINCT_RING_VERTICES> seen{};
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < coords.size() && count < seen.size(); ++i) {
        const bool repeat = std::any_of(seen.begin(), seen.begin() + count,
                                        [&](const GeodeticCoord* other) { return same_vertex(*other, coords[i]); });
        if (!repeat) {
            seen[count++] = &coords[i];
        }
    }
    return count;
}

predicates::Vector3 as_vector3(const UnitVec& v) noexcept { return {v.x, v.y, v.z}; }

int orient(const predicates::Vector3& a, const predicates::Vector3& b, const predicates::Vector3& c) noexcept {
    return predicates::orient3d_sign(a, b, c);
}

// The point REFERENCE_OFFSET_RADIANS left of the midpoint of the first exterior edge
// whose endpoints have a non-zero cross product. Skipping zero-length edges makes a
// ring with a repeated first vertex classify exactly like the ring without the repeat.
std::optional<UnitVec> reference_point(const std::vector<UnitVec>& exterior) noexcept {
    for (std::size_t k = 0; k + 1 < exterior.size(); ++k) {
        const UnitVec& v0 = exterior[k];
        const UnitVec& v1 = exterior[k + 1];
        const UnitVec normal = cross(v0, v1);
        const double normal_2 = norm_2(normal);
        if (!(normal_2 > 0.0)) {
            continue;
        }
        const UnitVec sum = v0 + v1;
        const UnitVec midpoint = sum / norm(sum);
        const UnitVec left = normal / std::sqrt(normal_2);
        const UnitVec offset = midpoint + GeodeticPolygon::REFERENCE_OFFSET_RADIANS * left;
        return offset / norm(offset);
    }
    return std::nullopt;
}

// The number of edges of `ring` that the great-circle path from r to p crosses, each
// decided by exact signs only. Endpoints on the r–p circle, or p on the edge's circle,
// count as no crossing.
std::size_t count_crossings(const std::vector<UnitVec>& ring, const predicates::Vector3& r,
                            const predicates::Vector3& p) noexcept {
    std::size_t crossings = 0;
    if (ring.empty()) {
        return crossings;
    }
    // The side of each vertex is computed once: the end of edge k is the start of edge k + 1.
    predicates::Vector3 a = as_vector3(ring[0]);
    int g = orient(r, p, a);
    for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
        const predicates::Vector3 b = as_vector3(ring[k + 1]);
        const int h = orient(r, p, b);
        if (g * h < 0 && orient(a, b, p) == g && orient(a, b, r) == -g) {
            ++crossings;
        }
        a = b;
        g = h;
    }
    return crossings;
}

}  // namespace

Result<GeodeticRing> GeodeticRing::try_from_lonlat(std::vector<LonLat> pairs) {
    auto validated = try_coords_from_lonlat(pairs);
    if (!validated) {
        return validated.error();
    }
    std::vector<GeodeticCoord> coords = std::move(validated).value();
    if (coords.size() < 2 || !same_vertex(coords.front(), coords.back())) {
        return GeodeticError::unclosed_ring();
    }
    const std::size_t distinct = count_distinct_open_vertices(coords);
    if (distinct < MIN_DISTINCT_RING_VERTICES) {
        return GeodeticError::too_few_points(distinct, MIN_DISTINCT_RING_VERTICES);
    }
    std::vector<UnitVec> vectors = embed_all(coords);
    if (const auto bad_edge = first_inadmissible_edge(vectors)) {
        return GeodeticError::antipodal_edge(*bad_edge);
    }
    return GeodeticRing(std::move(coords), std::move(vectors));
}

GeodeticRing::GeodeticRing(std::vector<GeodeticCoord> coords, std::vector<UnitVec> vectors) noexcept
    : coords_(std::move(coords)), vectors_(std::move(vectors)) {}

Result<GeodeticPolygon> GeodeticPolygon::try_new(GeodeticRing exterior, std::vector<GeodeticRing> interiors) {
    return GeodeticPolygon(std::move(exterior), std::move(interiors));
}

GeodeticPolygon::GeodeticPolygon(GeodeticRing exterior, std::vector<GeodeticRing> interiors)
    : exterior_(std::move(exterior)),
      interiors_(std::move(interiors)),
      reference_(reference_point(exterior_.vectors())),
      envelope_(Envelope::new_empty()) {
    merge_arc_boxes(exterior_.vectors(), envelope_);
    bool has_edge = exterior_.vectors().size() >= 2;
    for (const GeodeticRing& ring : interiors_) {
        merge_arc_boxes(ring.vectors(), envelope_);
        has_edge = has_edge || ring.vectors().size() >= 2;
    }
    SFERIX_ASSERT(has_edge, "a polygon has at least one edge");
    // The filled region can reach further along an axis than its boundary only at the
    // axis points themselves.
    static constexpr std::array<UnitVec, 6> AXIS_POINTS = {
        UnitVec{1, 0, 0}, UnitVec{-1, 0, 0}, UnitVec{0, 1, 0}, UnitVec{0, -1, 0}, UnitVec{0, 0, 1}, UnitVec{0, 0, -1},
    };
    for (const UnitVec& axis_point : AXIS_POINTS) {
        if (contains_point(axis_point)) {
            envelope_.merge(Envelope::from_point(axis_point));
        }
    }
}

bool GeodeticPolygon::contains_point(const UnitVec& p) const noexcept {
    if (!reference_) {
        return false;
    }
    const predicates::Vector3 r = as_vector3(*reference_);
    const predicates::Vector3 q = as_vector3(p);
    std::size_t crossings = count_crossings(exterior_.vectors(), r, q);
    for (const GeodeticRing& ring : interiors_) {
        crossings += count_crossings(ring.vectors(), r, q);
    }
    return crossings % 2 == 0;
}

double GeodeticPolygon::distance_2(const UnitVec& p) const noexcept {
    if (contains_point(p)) {
        return 0.0;
    }
    double best = chain_distance_2(exterior_.vectors(), p);
    for (const GeodeticRing& ring : interiors_) {
        best = std::min(best, chain_distance_2(ring.vectors(), p));
    }
    return best;
}

}  // namespace sferix::geodetic
