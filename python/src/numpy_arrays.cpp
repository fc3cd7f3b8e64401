#include "numpy_arrays.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"

namespace sferix::python {

namespace {

InternedString numpy_name("numpy");
InternedString ndarray_name("ndarray");
InternedString dtype_name("dtype");
InternedString kind_name("kind");
InternedString ndim_name("ndim");
InternedString tolist_name("tolist");
InternedString tobytes_name("tobytes");
InternedString shape_name("shape");
InternedString itemsize_name("itemsize");
InternedString isnative_name("isnative");

// object.name(), a new reference; empty with an exception pending.
PyRef call_method(PyObject* object, InternedString& name) {
    const PyRef method = attribute(object, name);
    return method ? PyRef::steal(PyObject_CallNoArgs(method.get())) : PyRef();
}

// Every attribute read below comes from an object whose type merely has the right
// name: sys.modules["numpy"] can be anything, so each value's type is checked before
// the C API is given it, and a wrong one is a TypeError naming the attribute.
std::nullopt_t wrong_attribute_type(const char* attribute_name, const char* expected) {
    PyErr_Format(PyExc_TypeError, "array attribute '%s' is not %s", attribute_name, expected);
    return std::nullopt;
}

// The integer attribute object.name (an int, not merely convertible to one); nullopt
// with an exception pending.
std::optional<long> integer_attribute(PyObject* object, InternedString& name, const char* attribute_name) {
    const PyRef value = attribute(object, name);
    if (!value) {
        return std::nullopt;
    }
    if (!PyLong_Check(value.get())) {
        return wrong_attribute_type(attribute_name, "an int");
    }
    const long result = PyLong_AsLong(value.get());
    if (result == -1 && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return result;
}

// The dtype kind of `array`: the one-character str that says which sort of number (or
// other thing) it holds ("f" float, "i" signed, "u" unsigned integer, ...). A new
// reference to a str; empty with an exception pending (TypeError when it is no str).
PyRef dtype_kind(PyObject* array) {
    const PyRef dtype = attribute(array, dtype_name);
    if (!dtype) {
        return PyRef();
    }
    PyRef kind = attribute(dtype.get(), kind_name);
    if (kind && !PyUnicode_Check(kind.get())) {
        wrong_attribute_type("dtype.kind", "a str");
        return PyRef();
    }
    return kind;
}

bool is_kind(const PyRef& kind, const char* code) { return PyUnicode_CompareWithASCIIString(kind.get(), code) == 0; }

// Whether the array holds plain numbers in at least one dimension.
std::optional<bool> is_numeric_with_rows(PyObject* array) {
    const std::optional<long> dimensions = integer_attribute(array, ndim_name, "ndim");
    if (!dimensions) {
        return std::nullopt;
    }
    if (*dimensions < 1) {
        return false;
    }
    const PyRef kind = dtype_kind(array);
    if (!kind) {
        return std::nullopt;
    }
    return is_kind(kind, "f") || is_kind(kind, "i") || is_kind(kind, "u");
}

// Whether the array's elements are native-endian 8-byte floats, i.e. C doubles.
std::optional<bool> holds_native_doubles(PyObject* array) {
    const PyRef kind = dtype_kind(array);
    if (!kind) {
        return std::nullopt;
    }
    if (!is_kind(kind, "f")) {
        return false;
    }
    const PyRef dtype = attribute(array, dtype_name);
    std::optional<long> itemsize;
    PyRef native;
    if (!dtype || !(itemsize = integer_attribute(dtype.get(), itemsize_name, "dtype.itemsize")) ||
        !(native = attribute(dtype.get(), isnative_name))) {
        return std::nullopt;
    }
    static_assert(sizeof(double) == 8);
    return *itemsize == 8 && native.get() == Py_True;
}

}  // namespace

std::optional<bool> is_exact_ndarray(PyObject* object) {
    const std::optional<PyRef> numpy = imported_module(numpy_name);
    if (!numpy || !*numpy) {
        return numpy ? std::optional(false) : std::nullopt;
    }
    const PyRef type = attribute(numpy->get(), ndarray_name);
    if (!type) {
        // A module without ndarray is not NumPy; an interrupt stays pending.
        if (!discard_ordinary_error()) {
            return std::nullopt;
        }
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(object)) == type.get();
}

Float64Matrix::Float64Matrix(PyRef bytes, std::size_t rows, std::size_t columns) noexcept
    : bytes_(std::move(bytes)), rows_(rows), columns_(columns), numbers_(PyBytes_AsString(bytes_.get())) {}

std::optional<MatrixShape> matrix_shape(PyObject* object) {
    const std::optional<bool> array = is_exact_ndarray(object);
    if (!array || !*array) {
        return array ? std::optional<MatrixShape>(MatrixShape{}) : std::nullopt;
    }
    const std::optional<long> dimensions = integer_attribute(object, ndim_name, "ndim");
    if (!dimensions) {
        return std::nullopt;
    }
    if (*dimensions != 2) {
        return MatrixShape{};
    }
    const PyRef shape = attribute(object, shape_name);
    if (!shape) {
        return std::nullopt;
    }
    // Checked rather than trusted: the sizes are used to index copied-out memory.
    if (!PyTuple_Check(shape.get()) || PyTuple_Size(shape.get()) != 2 ||
        !PyLong_Check(PyTuple_GetItem(shape.get(), 0)) || !PyLong_Check(PyTuple_GetItem(shape.get(), 1))) {
        value_error("array shape is not a pair of sizes");
        return std::nullopt;
    }
    // A size beyond Py_ssize_t is as wrong as a negative one.
    const Py_ssize_t rows = PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 0));
    const Py_ssize_t columns = rows == -1 && PyErr_Occurred() != nullptr
                                   ? -1
                                   : PyLong_AsSsize_t(PyTuple_GetItem(shape.get(), 1));
    if ((rows == -1 || columns == -1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return std::nullopt;
        }
        PyErr_Clear();
    }
    if (rows < 0 || columns < 0) {
        value_error("array shape is not a pair of sizes");
        return std::nullopt;
    }
    return MatrixShape{true, static_cast<std::size_t>(rows), static_cast<std::size_t>(columns)};
}

std::optional<Float64Matrix> float64_matrix(PyObject* object) {
    return float64_matrix(object, 0, std::numeric_limits<std::size_t>::max());
}

std::optional<Float64Matrix> float64_matrix(PyObject* object, std::size_t first_row, std::size_t max_rows) {
    Float64Matrix matrix;
    const std::optional<MatrixShape> shape = matrix_shape(object);
    if (!shape || !shape->is_matrix) {
        return shape ? std::optional<Float64Matrix>(std::move(matrix)) : std::nullopt;
    }
    const std::optional<bool> doubles = holds_native_doubles(object);
    if (!doubles || !*doubles) {
        return doubles ? std::optional<Float64Matrix>(std::move(matrix)) : std::nullopt;
    }
    const auto columns = static_cast<Py_ssize_t>(shape->columns);
    constexpr auto number_size = static_cast<Py_ssize_t>(sizeof(double));
    if (columns != 0 && static_cast<Py_ssize_t>(shape->rows) > PY_SSIZE_T_MAX / number_size / columns) {
        return matrix;  // no real array is that large; read it the general way
    }
    const std::size_t first = std::min(first_row, shape->rows);
    const std::size_t count = std::min(max_rows, shape->rows - first);
    const auto rows = static_cast<Py_ssize_t>(count);
    PyRef part;
    if (count != shape->rows) {
        const PyRef start = PyRef::steal(PyLong_FromSize_t(first));
        const PyRef stop = start ? PyRef::steal(PyLong_FromSize_t(first + count)) : PyRef();
        const PyRef slice = stop ? PyRef::steal(PySlice_New(start.get(), stop.get(), nullptr)) : PyRef();
        if (!slice || !(part = PyRef::steal(PyObject_GetItem(object, slice.get())))) {
            return std::nullopt;
        }
    }
    PyRef bytes = call_method(part ? part.get() : object, tobytes_name);
    if (!bytes) {
        return std::nullopt;
    }
    const Py_ssize_t expected = number_size * rows * columns;
    if (!PyBytes_Check(bytes.get()) || PyBytes_Size(bytes.get()) != expected) {
        return matrix;  // not what an ndarray gives; read it the general way
    }
    return Float64Matrix(std::move(bytes), count, static_cast<std::size_t>(columns));
}

std::optional<PyRef> numeric_array_as_list(PyObject* object) {
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object) || PyDict_CheckExact(object)) {
        return PyRef();
    }
    const std::optional<bool> array = is_exact_ndarray(object);
    if (!array || !*array) {
        return array ? std::optional<PyRef>(PyRef()) : std::nullopt;
    }
    const std::optional<bool> numeric = is_numeric_with_rows(object);
    if (!numeric || !*numeric) {
        return numeric ? std::optional<PyRef>(PyRef()) : std::nullopt;
    }
    // A list, or walking "its rows" could meet the same object again and again.
    return array_as_list(object);
}

std::optional<PyRef> array_as_list(PyObject* array) {
    PyRef list = call_method(array, tolist_name);
    if (!list) {
        return std::nullopt;
    }
    if (!PyList_CheckExact(list.get())) {
        PyErr_SetString(PyExc_TypeError, "array tolist() did not return a list");
        return std::nullopt;
    }
    return list;
}

}  // namespace sferix::python
