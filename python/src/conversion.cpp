#include "conversion.hpp"

#include <string>

#include "cast.hpp"
#include "error.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace sferix::python {

namespace {

// The conversion failed with a pending exception: name the parameter and give up.
template <typename T>
std::optional<T> failed(const char* name) {
    add_argument_note(name);
    return std::nullopt;
}

// True when `type` is numpy's boolean scalar type: numpy.bool_ (numpy < 2) or
// numpy.bool (numpy >= 2). Decided by name, so numpy is never imported here.
std::optional<bool> is_numpy_bool_type(PyTypeObject* type) {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);  // borrowed
    const PyRef module = PyRef::steal(PyObject_GetAttrString(type_object, "__module__"));
    if (!module) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    const PyRef name = PyRef::steal(PyObject_GetAttrString(type_object, "__name__"));
    if (!name) {
        return std::nullopt;
    }
    return PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// A numpy bool scalar through its type's __bool__, whose result must be a bool.
std::optional<bool> numpy_bool_value(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));  // borrowed
    const PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::nullopt;
        }
        PyErr_Clear();
        const PyRef type_text = PyRef::steal(PyObject_Str(type));
        if (!type_text) {
            return std::nullopt;
        }
        const std::optional<std::string> text = utf8_text(type_text.get());
        if (text) {
            set_error_text(PyExc_TypeError, "object of type '" + *text + "' does not define a '__bool__' conversion");
        }
        return std::nullopt;
    }
    const PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
    if (!result) {
        return std::nullopt;
    }
    if (!PyBool_Check(result.get())) {
        raise_not_instance(result.get(), "bool");
        return std::nullopt;
    }
    return result.get() == Py_True;
}

}  // namespace

void add_argument_note(const char* name) { add_note(std::string("while processing '") + name + "'"); }

std::optional<double> convert_double(PyObject* value, const char* name) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred() != nullptr) {
        return failed<double>(name);
    }
    return result;
}

std::optional<bool> convert_bool(PyObject* value, const char* name) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    const std::optional<bool> numpy_bool = is_numpy_bool_type(Py_TYPE(value));
    if (!numpy_bool) {
        return failed<bool>(name);
    }
    if (!*numpy_bool) {
        raise_not_instance(value, "bool");
        return failed<bool>(name);
    }
    const std::optional<bool> result = numpy_bool_value(value);
    if (!result) {
        return failed<bool>(name);
    }
    return result;
}

std::optional<std::uint64_t> convert_index(PyObject* value, const char* name) {
    PyRef integer = PyRef::new_ref(value);
    if (!PyLong_Check(value)) {
        integer = PyRef::steal(PyNumber_Index(value));
        if (!integer) {
            return failed<std::uint64_t>(name);
        }
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return failed<std::uint64_t>(name);
    }
    return static_cast<std::uint64_t>(result);
}

}  // namespace sferix::python
