#include "error.hpp"

#include "fetched_error.hpp"
#include "lazy_object.hpp"
#include "py_ref.hpp"
#include "support/panic.hpp"

namespace sferix::python {

namespace {

LazyObject geodetic_error;

// Calls exception.add_note(note) when the exception has that method; any failure of
// looking it up or calling it is dropped.
void add_note_to(PyObject* exception /* borrowed */, const std::string& note) {
    const PyRef method = PyRef::steal(PyObject_GetAttrString(exception, "add_note"));
    if (!method) {
        PyErr_Clear();
        return;
    }
    const PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    const PyRef added = text ? PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr)) : PyRef();
    if (!added) {
        PyErr_Clear();
    }
}

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

void add_note(const std::string& note) {
    FetchedError error = FetchedError::fetch();
    error.normalize();
    if (error.value() != nullptr) {
        add_note_to(error.value(), note);
    }
    error.restore();
}

void mark_input_item(std::size_t position) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return;
    }
    FetchedError error = FetchedError::fetch();
    error.normalize();
    if (error.value() != nullptr) {
        const PyRef index = PyRef::steal(PyLong_FromSize_t(position));
        if (!index || PyObject_SetAttrString(error.value(), "item", index.get()) < 0) {
            PyErr_Clear();
        }
        add_note_to(error.value(), "while reading item " + std::to_string(position));
    }
    error.restore();
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
