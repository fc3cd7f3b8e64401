#pragma once

#include <optional>
#include <vector>

#include "geo_input.hpp"
#include "toolkit/py_ref.hpp"

namespace sferix::python {

// Query geometries that are all shapely geometries, read in bulk: one call of the
// program's own shapely (its to_wkb) gives each one's coordinates and nesting as bytes,
// where reading them one by one builds a __geo_interface__ dict and a Python float per
// number. Shapely is never imported
// here, only used when the program has imported it.
struct BulkQueryGeometries {
    // Whether the elements were read this way; when false nothing was read, and the
    // caller reads them one by one.
    bool read = false;
    std::vector<QueryParts> geometries;
};

// The parts of every element, as parse_query_geometry gives them, when every element
// is a shapely linestring or polygon or their multipart forms, none empty; a failure to
// validate is GeodeticError with the library's message, marked with the element's
// index (mark_input_item), as one-by-one reading reports the same first failure.
// Anything else, or anything unexpected from shapely (an ordinary error included), is
// not read (read false). nullopt with an exception pending only for an interrupt or
// exit request, or the validation failure.
[[nodiscard]] std::optional<BulkQueryGeometries> read_shapely_query_geometries(const std::vector<PyRef>& elements);

}  // namespace sferix::python
