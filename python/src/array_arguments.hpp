#pragma once

// The arguments of the array queries (query_nearest, query_within_distance and their
// WGS84 forms), of nearest_k and the radius queries' return_distance, read out of
// Python objects. Each function takes borrowed objects and returns its value, or
// nullopt with a Python exception pending.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/python_api.hpp"

#include "geodetic/point.hpp"
#include "support/in_place_array.hpp"

namespace sferix::python {

// The query positions of `queries`, in order:
//  - a numpy.ndarray must have shape (n, 2) (up to two further columns, altitudes, are
//    ignored as in a tree's data), else ValueError "queries must be an array of shape
//    (n, 2), not SHAPE", or, past four columns, the constructors' "an array of points
//    must have shape (n, 2), one (lon, lat) row per point, not (2, 5)" (an array of
//    lons and lats the wrong way round); of native float64 (any strides), its numbers
//    are copied out in one piece, without a Python object per number; of another
//    integer or float dtype, each row is read as a pair; of dtype object, each row is
//    read as the same objects in a list would be (as the constructors read it, so an
//    array that builds a tree also queries one); any other dtype is TypeError "queries
//    must be an array of numbers, not dtype D";
//  - anything else is iterated, each element read as a single query's point is
//    (parse_point: a (lon, lat, ...) sequence, a geo-interface object, a GeoJSON dict).
// The first invalid query fails the whole call with its own error type and message
// prefixed by its index: "query 12: latitude 95 outside [-90.0, 90.0]" (an error of
// another type than ValueError, TypeError or GeodeticError, raised by the object itself,
// keeps its message and gets the note "while reading query 12"). An interrupt or an
// error of the iterator itself is passed on unchanged.
// A float64 array's rows are checked and embedded on `workers` threads (the GIL
// released meanwhile); the first invalid row in order is the one reported.
using QueryPoints = support::InPlaceArray<geodetic::GeodeticPoint>;
[[nodiscard]] std::optional<QueryPoints> parse_queries(PyObject* queries, std::size_t workers);

// radius_metres of a batch radius query: a number (float conversion, as for the
// single queries) for every query, or a sequence or 1-D array of exactly
// `query_count` numbers, one per query; a sequence of another length is ValueError
// "radius_metres must be one number or one per query (N), not M". A numpy.ndarray is
// one number when 0-d; when 1-D of numbers or of objects, its elements (objects read as
// in a list); of more dimensions, ValueError "radius_metres must be one number or an
// array of shape (n,), not (3, 1)"; of another dtype, TypeError "radius_metres must be
// an array of numbers, not dtype D". Negative, NaN and infinite radii pass (they answer
// as in the single queries). The result has one element, or query_count. `name` is
// the parameter the messages name (query_many's `distance` reads the same way).
[[nodiscard]] std::optional<std::vector<double>> parse_radii(PyObject* radius_metres, std::size_t query_count,
                                                             const char* name = "radius_metres");

// k: an int (or __index__) from 1 to MAX_K, else ValueError "k must be at least 1" or
// "k must be at most 2^31 (2147483648), not 1099511627776": a tree holds fewer than 2^32
// items, and rows of k answers beyond 2^31 would be almost all padding.
inline constexpr std::size_t MAX_K = std::size_t{1} << 31;
[[nodiscard]] std::optional<std::size_t> parse_k(PyObject* k);

// max_distance: absent or None is no limit (infinity), else a float conversion; a
// negative or NaN limit passes, and then nothing is found. A numpy.ndarray of one or
// more dimensions is ValueError "max_distance must be one number, not an array of
// shape (3,)".
[[nodiscard]] std::optional<double> parse_max_distance(PyObject* max_distance /* may be null */);

// return_distance, converted strictly when given (absent: False).
[[nodiscard]] std::optional<bool> parse_return_distance(PyObject* return_distance /* may be null */);

// workers: absent is 1; -1 is every core the process may run on; otherwise an int of at
// least 1, else ValueError "workers must be -1 or at least 1".
[[nodiscard]] std::optional<std::size_t> parse_workers(PyObject* workers /* may be null */);

}  // namespace sferix::python
