#include "fetched_error.hpp"

// The fetch/restore trio is deprecated (not removed) in newer headers; it is the
// protocol of the 3.10 stable ABI this module is built against.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace sferix::python {

FetchedError FetchedError::fetch() noexcept {
    PyObject* type = nullptr;       // owned, handed to the holder
    PyObject* value = nullptr;      // owned, handed to the holder
    PyObject* traceback = nullptr;  // owned, handed to the holder
    PyErr_Fetch(&type, &value, &traceback);
    FetchedError error;
    error.type_ = PyRef::steal(type);
    error.value_ = PyRef::steal(value);
    error.traceback_ = PyRef::steal(traceback);
    return error;
}

void FetchedError::normalize() noexcept {
    if (!type_) {
        return;
    }
    PyObject* type = type_.release();            // owned; normalisation may replace it
    PyObject* value = value_.release();          // owned; normalisation may replace it
    PyObject* traceback = traceback_.release();  // owned; normalisation may replace it
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
}

void FetchedError::restore() noexcept {
    // PyErr_Restore steals all three references.
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

}  // namespace sferix::python

#pragma GCC diagnostic pop
