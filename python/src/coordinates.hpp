#pragma once

#include <optional>
#include <vector>

#include "numpy_arrays.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"
#include "toolkit/sequences.hpp"

#include "geodetic/coord.hpp"

namespace sferix::python {

// Reading plain coordinate structures out of Python objects. Every function takes a
// borrowed object, keeps no reference to it, and returns its result or nullopt with a
// Python exception pending. Nothing here validates ranges: non-finite or out-of-range
// values pass, and the geometry constructors reject them.
//
// Exact lists and tuples of exact floats and ints are read without the iterator
// protocol; the result and every error are the same as through the general path,
// which handles everything else and any case the fast path cannot decide alone.

// Calls `visit(element)` for each element of the iterable `obj`, as for_each_element
// does, except that a NumPy array of numbers is walked as its tolist()
// (numeric_array_as_list), whose rows then take the list fast paths. Every reader of
// input iterables walks them through this.
template <typename Visit>
bool for_each_input_element(PyObject* obj /* borrowed */, Visit&& visit) {
    const std::optional<PyRef> numbers = numeric_array_as_list(obj);
    if (!numbers) {
        return false;
    }
    return for_each_element(*numbers ? numbers->get() : obj, visit);
}

// One coordinate: a sequence (PySequence_Check) other than a str, of at least two
// numbers (anything PyFloat_AsDouble accepts), longitude first, both in degrees.
// Every element must be a number; further ones (altitude, measure) are ignored.
// Errors, in this order:
//  - a str, or not a sequence: ValueError "a coordinate must be a sequence of numbers";
//  - creating or advancing its iterator raises, or an element is not a number: the
//    exception is dropped and the same ValueError raised instead;
//  - fewer than two numbers: ValueError "a coordinate needs at least a longitude and a
//    latitude".
// The sequence's length is asked for first; a failure to give it is not an error.
[[nodiscard]] std::optional<geodetic::LonLat> coord_pair(PyObject* obj);

// Sets ValueError "a coordinate needs at least a longitude and a latitude", the error
// for a coordinate of fewer than two numbers, wherever such a coordinate is read.
// Always returns nullopt.
std::nullopt_t raise_too_few_numbers();

// The coordinates of any iterable, in order, each read by coord_pair. A non-iterable
// raises the interpreter's TypeError; the first failure of the iterator or of an
// element ends reading with that failure.
[[nodiscard]] std::optional<std::vector<geodetic::LonLat>> coord_list(PyObject* obj);

// Every element of any iterable, in order, as owned references, taken before anything
// looks at them (a generator is consumed completely). A non-iterable raises the
// interpreter's TypeError; an exception of the iterator propagates and the elements
// taken so far are released.
[[nodiscard]] std::optional<std::vector<PyRef>> sequence(PyObject* obj);

}  // namespace sferix::python
