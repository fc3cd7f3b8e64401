#pragma once

// The answers of queries as Python values: lists of positions and of (position, metres)
// tuples for the single queries, NumPy arrays for the array queries.
//
// The 3.10 limited API has no buffer protocol, so this module can neither create nor
// fill a NumPy array itself. Each array result is therefore a bytearray of native int64
// or float64 elements (PyByteArray_FromStringAndSize and PyByteArray_AsString are in
// the stable ABI), filled while the GIL is released; numpy.frombuffer then wraps it
// without a copy, giving a writable array that keeps the bytearray alive. NumPy is
// imported only here, when the first array result is made.
//
// Every function returns a new reference, or nullptr (nullopt) with the exception
// pending. REQUIRES: the GIL is held.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>

#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"

#include "index/position_with_metres.hpp"

namespace sferix::python {

// Queries collect their results into one array while they walk the tree and turn the
// array into Python values in one pass.
using indexed::PositionWithMetres;

// A list of the positions as ints, in order.
PyObject* position_list(std::span<const std::uint64_t> positions);

// The result of a radius query, in the order given: a list of (int, float) tuples when
// `return_distance`, else a list of the positions as ints.
PyObject* within_result(std::span<const PositionWithMetres> hits, bool return_distance);

// The result of a nearest query: None when there is no hit (an empty tree), else the
// position as an int, or the (int, float) tuple when `with_distance`.
PyObject* nearest_result(const std::optional<PositionWithMetres>& hit, bool with_distance);

namespace detail {

// A bytearray of `bytes` uninitialised bytes; empty with MemoryError pending when it
// cannot be had.
PyRef new_bytearray(std::size_t bytes);

// numpy.frombuffer(bytearray, dtype).reshape(shape). `dtype` is "int64" or "float64".
PyObject* numpy_view(PyObject* bytearray /* borrowed */, const char* dtype, std::span<const std::size_t> shape);

}  // namespace detail

// An array of `count` elements of Element (std::int64_t or double) being filled.
template <typename Element>
    requires std::is_same_v<Element, std::int64_t> || std::is_same_v<Element, double>
class ResultArray {
public:
    // Uninitialised elements; nullopt with MemoryError pending.
    [[nodiscard]] static std::optional<ResultArray> allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(Element)) {
            PyErr_NoMemory();
            return std::nullopt;
        }
        PyRef bytes = detail::new_bytearray(count * sizeof(Element));
        if (!bytes) {
            return std::nullopt;
        }
        return ResultArray(std::move(bytes), count);
    }

    // The elements, writable without the GIL while this object lives; nothing else
    // may touch the bytearray meanwhile.
    [[nodiscard]] std::span<Element> elements() const noexcept { return {elements_, count_}; }

    // The NumPy array over the elements, in row-major `shape` (whose product is the
    // count).
    [[nodiscard]] PyObject* to_numpy(std::span<const std::size_t> shape) const {
        return detail::numpy_view(bytes_.get(), std::is_same_v<Element, double> ? "float64" : "int64", shape);
    }

private:
    ResultArray(PyRef bytes, std::size_t count) noexcept
        // A bytearray's storage comes from the interpreter's allocator, aligned for any
        // scalar (16 bytes), so it can be written as Elements.
        : bytes_(std::move(bytes)),
          elements_(reinterpret_cast<Element*>(PyByteArray_AsString(bytes_.get()))),
          count_(count) {}

    PyRef bytes_;
    Element* elements_;
    std::size_t count_;
};

// The two arrays of an array query's answer: positions (or query index and position
// pairs) and metres.
struct ResultArrays {
    ResultArray<std::int64_t> positions;
    ResultArray<double> metres;

    // The tuple (positions in `position_shape`, metres in `metre_shape`).
    [[nodiscard]] PyObject* to_numpy(std::span<const std::size_t> position_shape,
                                     std::span<const std::size_t> metre_shape) const;
};

// Results of `position_count` int64 and `metre_count` float64 elements, described to
// the user as `what` ("10 queries × k 2147483648", "7 pairs"), `arrays` arrays of
// `elements` elements each. nullopt with MemoryError "cannot allocate the results: 10
// queries × k 2147483648, 2 arrays of 21474836480 elements, 343597383680 bytes (320.0
// GiB)" when they cannot be had, whether the size passes what an array may hold or the
// allocation fails. Results larger than the machine's memory and swap are refused
// without asking: every element is written, so the allocation could only succeed
// (overcommitted) to have the process killed while filling it.
[[nodiscard]] std::optional<ResultArrays> allocate_results(std::size_t position_count, std::size_t metre_count,
                                                           const std::string& what, std::size_t arrays,
                                                           double elements);

}  // namespace sferix::python
