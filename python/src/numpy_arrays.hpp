#pragma once

#include <cstddef>
#include <cstring>
#include <optional>

#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"

namespace sferix::python {

// A NumPy array of floats or integers, read as the nested list of Python numbers that
// its tolist() gives, so that its rows take the list fast paths instead of one NumPy
// row object and one NumPy scalar per number. The numbers are the same values the
// rows would convert to, so parsing gives the same geometries and the same errors.
// Only an exact numpy.ndarray of dtype kind 'f', 'i' or 'u' with at least one
// dimension qualifies (subclasses such as masked arrays iterate differently); NumPy is
// never imported here, only recognised when the program has imported it.
//
// Nothing such an object says about itself is trusted: an `ndim` or `dtype.itemsize`
// that is not an int, or a `dtype.kind` that is not a str, is TypeError "array
// attribute '<name>' is not <an int|a str>", and a tolist() that gives anything but a
// list is TypeError "array tolist() did not return a list".
//
// Returns the list, an empty PyRef when `object` does not qualify, or nullopt with an
// exception pending.
std::optional<PyRef> numeric_array_as_list(PyObject* object /* borrowed */);

// The array's tolist(), which must be a list (else the TypeError above); nullopt with an
// exception pending.
std::optional<PyRef> array_as_list(PyObject* array /* borrowed */);

// Whether `object`'s type is exactly numpy.ndarray (false whenever NumPy was never
// imported); nullopt with an exception pending.
std::optional<bool> is_exact_ndarray(PyObject* object /* borrowed */);

// The shape of an exact numpy.ndarray of two dimensions, whatever it holds.
struct MatrixShape {
    bool is_matrix = false;  // false: not such an array (and both sizes are 0)
    std::size_t rows = 0;
    std::size_t columns = 0;
};
// Its shape, or nullopt with an exception pending; a `shape` that is not a tuple of two
// ints from 0 to PY_SSIZE_T_MAX is ValueError "array shape is not a pair of sizes".
std::optional<MatrixShape> matrix_shape(PyObject* object /* borrowed */);

// The numbers of an exact numpy.ndarray of two dimensions and native 64-bit floats,
// copied out row by row (its tobytes()), with its shape: the doubles its rows would
// convert to, without a Python object per number. A matrix that does not qualify()
// when `object` is not such an array; nullopt with an exception pending.
class Float64Matrix {
public:
    Float64Matrix() noexcept = default;  // the object was not such an array

    // Takes over `bytes`. REQUIRES: a bytes object of exactly rows × columns native
    // doubles, row-major.
    Float64Matrix(PyRef bytes, std::size_t rows, std::size_t columns) noexcept;

    // Whether the object was such an array (and this holds its numbers).
    [[nodiscard]] bool qualifies() const noexcept { return static_cast<bool>(bytes_); }
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t columns() const noexcept { return columns_; }

    // The number in `row`, `column`. REQUIRES: qualifies(), row < rows(), column < columns().
    [[nodiscard]] double at(std::size_t row, std::size_t column) const noexcept {
        // Copied out rather than read through a double*: the buffer is chars, so this is
        // clean for alignment and aliasing, and compiles to the same single load.
        double value = 0.0;
        std::memcpy(&value, numbers_ + (row * columns_ + column) * sizeof(double), sizeof(double));
        return value;
    }

private:
    PyRef bytes_;
    std::size_t rows_ = 0;
    std::size_t columns_ = 0;
    const char* numbers_ = nullptr;  // borrowed from bytes_, which is immutable
};
std::optional<Float64Matrix> float64_matrix(PyObject* object /* borrowed */);
// As float64_matrix, holding only the rows [first_row, first_row + max_rows) of
// `object` (fewer at its end), copied out of a slice of it: a reader that goes through
// a large array a slice at a time never holds a second copy of the whole.
std::optional<Float64Matrix> float64_matrix(PyObject* object /* borrowed */, std::size_t first_row,
                                            std::size_t max_rows);

}  // namespace sferix::python
