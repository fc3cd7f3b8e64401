#pragma once

// The NumPy arrays the array queries return.
//
// The 3.10 limited API has no buffer protocol, so this module can neither create nor
// fill a NumPy array itself. Each result is therefore a bytearray of native int64 or
// float64 elements (PyByteArray_FromStringAndSize and PyByteArray_AsString are in the
// stable ABI), filled while the GIL is released; numpy.frombuffer then wraps it without
// a copy, giving a writable array that keeps the bytearray alive. NumPy is imported
// only here, when the first result is made.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>

#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"

namespace sferix::python {

namespace detail {

// A bytearray of `bytes` uninitialised bytes, new reference; empty with MemoryError
// pending when it cannot be had.
PyRef new_bytearray(std::size_t bytes);

// numpy.frombuffer(bytearray, dtype).reshape(shape), a new reference, or nullptr with an
// exception pending. `dtype` is "int64" or "float64".
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
    // count); a new reference, or nullptr with an exception pending.
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

}  // namespace sferix::python
