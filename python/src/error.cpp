#include "error.hpp"

#include <mutex>

#include "support/panic.hpp"

namespace sferix::python {

PyObject* geodetic_error_type() {
    static PyObject* type = nullptr;  // owned for the life of the process
    static std::once_flag once;
    std::call_once(once, [] {
        type = PyErr_NewExceptionWithDoc(
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

}  // namespace sferix::python
