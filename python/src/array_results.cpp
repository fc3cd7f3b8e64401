#include "array_results.hpp"

#include <cstdint>

#include "toolkit/gil.hpp"

#include "support/huge_pages.hpp"
#include "support/panic.hpp"

namespace sferix::python {

namespace detail {

namespace {

InternedString frombuffer_name("frombuffer");
InternedString reshape_name("reshape");

}  // namespace

PyRef new_bytearray(std::size_t bytes) {
    // An empty bytearray has no storage of its own to write to, and none is written.
    // Made empty, then grown: PyByteArray_FromStringAndSize, when its allocation fails,
    // drops the new object before setting its export count, so that CPython 3.11 to
    // 3.13 may then report "deallocated bytearray object has exported buffers" from
    // the garbage there; a failed resize leaves a sound empty bytearray to drop.
    PyRef array = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (array && bytes > 0 && PyByteArray_Resize(array.get(), static_cast<Py_ssize_t>(bytes)) != 0) {
        return PyRef();
    }
    if (array && bytes > 0) {
        SFERIX_ASSERT(reinterpret_cast<std::uintptr_t>(PyByteArray_AsString(array.get())) % alignof(double) == 0,
                      "bytearray storage is aligned for 8-byte elements");
        // Written once, in full, into fresh memory.
        support::advise_huge_pages(PyByteArray_AsString(array.get()), bytes);
    }
    return array;
}

PyObject* numpy_view(PyObject* bytearray, const char* dtype, std::span<const std::size_t> shape) {
    const PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return nullptr;
    }
    PyObject* frombuffer_key = frombuffer_name.get();  // borrowed, process-wide
    PyObject* reshape_key = reshape_name.get();        // borrowed, process-wide
    if (frombuffer_key == nullptr || reshape_key == nullptr) {
        return nullptr;
    }
    const PyRef frombuffer = PyRef::steal(PyObject_GetAttr(numpy.get(), frombuffer_key));
    if (!frombuffer) {
        return nullptr;
    }
    const PyRef dtype_text = PyRef::steal(PyUnicode_FromString(dtype));
    if (!dtype_text) {
        return nullptr;
    }
    const PyRef flat =
        PyRef::steal(PyObject_CallFunctionObjArgs(frombuffer.get(), bytearray, dtype_text.get(), nullptr));
    if (!flat) {
        return nullptr;
    }
    const PyRef dimensions = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    if (!dimensions) {
        return nullptr;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        PyObject* size = PyLong_FromSize_t(shape[i]);  // owned, stolen by the tuple below
        if (size == nullptr) {
            return nullptr;
        }
        PyTuple_SetItem(dimensions.get(), static_cast<Py_ssize_t>(i), size);
    }
    return PyObject_CallMethodObjArgs(flat.get(), reshape_key, dimensions.get(), nullptr);
}

}  // namespace detail

}  // namespace sferix::python
