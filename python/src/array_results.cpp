#include "array_results.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "toolkit/gil.hpp"

#include "support/panic.hpp"

namespace sferix::python {

namespace detail {

namespace {

InternedString frombuffer_name("frombuffer");
InternedString reshape_name("reshape");

// A large answer is written once into fresh memory, and taking its pages one 4 KiB fault
// at a time cost a fifth of a 100 km radius batch (more with two threads, which queue on
// the process's page-table lock). Transparent huge pages, where the system leaves them
// to be asked for, are asked for as NumPy asks for them for its own arrays: from 4 MiB,
// on the whole pages inside the block. Only a hint; refusals are ignored.
void advise_huge_pages(char* start, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t HUGE_FROM = std::size_t{4} << 20;
    const long page = sysconf(_SC_PAGESIZE);
    if (bytes < HUGE_FROM || page <= 0) {
        return;
    }
    const auto page_size = static_cast<std::uintptr_t>(page);
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(start) + page_size - 1) / page_size * page_size;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(start) + bytes) / page_size * page_size;
    if (begin < end) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}

}  // namespace

PyRef new_bytearray(std::size_t bytes) {
    // An empty bytearray has no storage of its own to write to, and none is written.
    PyRef array = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
    if (array && bytes > 0) {
        SFERIX_ASSERT(reinterpret_cast<std::uintptr_t>(PyByteArray_AsString(array.get())) % alignof(double) == 0,
                      "bytearray storage is aligned for 8-byte elements");
        advise_huge_pages(PyByteArray_AsString(array.get()), bytes);
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
