#pragma once

#include <cstdint>

namespace sferix::indexed {

// One answer of a query: an input position and its distance to the query in metres
// (great-circle or WGS84 geodesic, as the query says).
struct PositionWithMetres {
    std::uint64_t position;
    double metres;
};

}  // namespace sferix::indexed
