#include "error.hpp"

#include "lazy_object.hpp"
#include "support/panic.hpp"

namespace sferix::python {

namespace {

LazyObject geodetic_error;

}  // namespace

PyObject* geodetic_error_type() {
    PyObject* type = geodetic_error.get([] {
        return PyErr_NewExceptionWithDoc(
            "sferix.GeodeticError",
            "Raised when coordinates or a geometry fail validation (out-of-range longitude or latitude, "
            "a non-finite value, too few vertices, an edge spanning half the sphere, or an unclosed ring).",
            PyExc_ValueError, nullptr);
    });
    if (type == nullptr) {
        support::panic("Failed to initialize new exception type.");
    }
    return type;
}

std::nullptr_t map_error(const geodetic::GeodeticError& error) {
    const std::string message = error.message();
    PyErr_SetString(geodetic_error_type(), message.c_str());
    return nullptr;
}

std::nullptr_t value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

bool discard_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    PyErr_Clear();
    return true;
}

std::nullptr_t value_error(const std::string& message) { return value_error(message.c_str()); }

}  // namespace sferix::python
