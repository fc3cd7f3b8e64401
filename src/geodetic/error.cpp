#include "geodetic/error.hpp"

#include <cmath>
#include <cstdio>

#include "geodetic/arc.hpp"
#include "support/float_text.hpp"

namespace sferix::geodetic {

namespace {

// The arc length, in degrees to four places, at which edges are refused: the squared
// chord MAX_EDGE_SQUARED_CHORD, about 179.9616 degrees (not 180: arcs this close to a
// half circle have an unstable great circle).
std::string max_edge_degrees() {
    const double degrees = 2.0 * std::asin(std::sqrt(MAX_EDGE_SQUARED_CHORD) / 2.0) * (180.0 / M_PI);
    char text[32];
    std::snprintf(text, sizeof(text), "%.4f", degrees);
    return text;
}

}  // namespace

std::string GeodeticError::message() const {
    using support::format_float;
    switch (kind_) {
        case Kind::LongitudeOutOfRange:
            return "longitude " + format_float(value_) + " outside [-180.0, 180.0]";
        case Kind::LatitudeOutOfRange:
            return "latitude " + format_float(value_) + " outside [-90.0, 90.0]";
        case Kind::NonFinite:
            return "longitude or latitude was NaN or infinite";
        case Kind::TooFewPoints:
            return "too few points: found " + std::to_string(first_) + ", need at least " + std::to_string(second_);
        case Kind::AntipodalEdge:
            return "edge " + std::to_string(first_) + " spans about " + max_edge_degrees() +
                   " degrees or more; its shorter great-circle arc is undefined (densify it first)";
        case Kind::UnclosedRing:
            return "polygon ring is not closed (first vertex != last)";
    }
    return {};
}

}  // namespace sferix::geodetic
