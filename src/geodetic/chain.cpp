#include "geodetic/chain.hpp"

#include <algorithm>
#include <limits>

#include "geodetic/arc.hpp"
#include "geodetic/embedding.hpp"

namespace sferix::geodetic {

Result<std::vector<GeodeticCoord>> try_coords_from_lonlat(const std::vector<LonLat>& pairs) {
    std::vector<GeodeticCoord> coords;
    coords.reserve(pairs.size());
    for (const LonLat& pair : pairs) {
        auto coord = GeodeticCoord::try_new(pair.lon, pair.lat);
        if (!coord) {
            return coord.error();
        }
        coords.push_back(coord.value());
    }
    return coords;
}

std::vector<UnitVec> embed_all(const std::vector<GeodeticCoord>& coords) {
    std::vector<UnitVec> vectors;
    vectors.reserve(coords.size());
    for (const GeodeticCoord& coord : coords) {
        vectors.push_back(embed(coord));
    }
    return vectors;
}

std::optional<std::size_t> first_inadmissible_edge(std::span<const UnitVec> chain) noexcept {
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        if (!is_admissible_edge(chain[k], chain[k + 1])) {
            return k;
        }
    }
    return std::nullopt;
}

void merge_arc_boxes(std::span<const UnitVec> chain, Envelope& box) noexcept {
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        box.merge(arc_bounding_box(chain[k], chain[k + 1]));
    }
}

double chain_distance_2(std::span<const UnitVec> chain, const UnitVec& p) noexcept {
    double best_2 = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
        best_2 = std::min(best_2, arc_distance_2(chain[k], chain[k + 1], p));
    }
    return best_2;
}

}  // namespace sferix::geodetic
