#include "geodetic/error.hpp"

#include "support/float_text.hpp"

namespace sferix::geodetic {

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
            return "edge " + std::to_string(first_) +
                   " spans 180 degrees or more; its shorter great-circle arc is undefined (densify it first)";
        case Kind::UnclosedRing:
            return "polygon ring is not closed (first vertex != last)";
    }
    return {};
}

}  // namespace sferix::geodetic
