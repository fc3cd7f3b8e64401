#include "results.hpp"

#include <sys/sysinfo.h>

#include <cstdio>
#include <iterator>

#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/sequences.hpp"

#include "support/huge_pages.hpp"
#include "support/panic.hpp"

namespace sferix::python {

namespace {

PyRef position_object(std::uint64_t position) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(position)));
}

PyRef pair_object(const PositionWithMetres& hit) {
    const PyRef position = position_object(hit.position);
    if (!position) {
        return PyRef();
    }
    const PyRef metres = PyRef::steal(PyFloat_FromDouble(hit.metres));
    if (!metres) {
        return PyRef();
    }
    return PyRef::steal(PyTuple_Pack(2, position.get(), metres.get()));
}

// The machine's memory and swap in bytes, 0 when unknown.
double machine_memory_bytes() noexcept {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) {
        return 0.0;
    }
    return (static_cast<double>(info.totalram) + static_cast<double>(info.totalswap)) *
           static_cast<double>(info.mem_unit);
}

// A count of elements for a message: "21474836480" (in full while exact in a double).
std::string count_text(double count) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.0f", count);
    return text;
}

// A size in bytes for a message: "343597383680 bytes (320.0 GiB)".
std::string byte_count_text(double bytes) {
    static constexpr const char* UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB", "ZiB", "YiB"};
    double scaled = bytes / 1024.0;
    std::size_t unit = 0;
    while (scaled >= 1024.0 && unit + 1 < std::size(UNITS)) {
        scaled /= 1024.0;
        ++unit;
    }
    char text[96];
    std::snprintf(text, sizeof(text), " bytes (%.1f %s)", scaled, UNITS[unit]);
    return count_text(bytes) + text;
}

}  // namespace

PyObject* position_list(std::span<const std::uint64_t> positions) {
    return new_list(positions.size(), [positions](std::size_t i) { return position_object(positions[i]); }).release();
}

PyObject* within_result(std::span<const PositionWithMetres> hits, bool return_distance) {
    if (return_distance) {
        return new_list(hits.size(), [hits](std::size_t i) { return pair_object(hits[i]); }).release();
    }
    return new_list(hits.size(), [hits](std::size_t i) { return position_object(hits[i].position); }).release();
}

PyObject* nearest_result(const std::optional<PositionWithMetres>& hit, bool with_distance) {
    if (!hit) {
        return PyRef::new_ref(Py_None).release();
    }
    return (with_distance ? pair_object(*hit) : position_object(hit->position)).release();
}


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

PyObject* ResultArrays::to_numpy(std::span<const std::size_t> position_shape,
                                 std::span<const std::size_t> metre_shape) const {
    const PyRef position_array = PyRef::steal(positions.to_numpy(position_shape));
    if (!position_array) {
        return nullptr;
    }
    const PyRef metre_array = PyRef::steal(metres.to_numpy(metre_shape));
    if (!metre_array) {
        return nullptr;
    }
    return PyTuple_Pack(2, position_array.get(), metre_array.get());
}

std::optional<ResultArrays> allocate_results(std::size_t position_count, std::size_t metre_count,
                                             const std::string& what, std::size_t arrays, double elements) {
    const double bytes = elements * 8.0 * static_cast<double>(arrays);
    const auto refuse = [&](const char* why) {
        set_error_text(PyExc_MemoryError, "cannot allocate the results: " + what + ", " + std::to_string(arrays) +
                                              " arrays of " + count_text(elements) + " elements, " +
                                              byte_count_text(bytes) + why);
        return std::nullopt;
    };
    const double memory = machine_memory_bytes();
    if (memory > 0.0 && bytes > memory) {
        return refuse(", more than the machine's memory and swap");
    }
    std::optional<ResultArray<std::int64_t>> positions = ResultArray<std::int64_t>::allocate(position_count);
    std::optional<ResultArray<double>> metres;
    if (positions) {
        metres = ResultArray<double>::allocate(metre_count);
    }
    if (!metres) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError) != 0) {
            PyErr_Clear();
            return refuse("");
        }
        return std::nullopt;
    }
    return ResultArrays{std::move(*positions), std::move(*metres)};
}

}  // namespace sferix::python
