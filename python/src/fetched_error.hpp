#pragma once

#include "py_ref.hpp"
#include "python_api.hpp"

namespace sferix::python {

// The pending Python exception, taken out of the interpreter so that other calls can
// run, and put back later. Uses the 3.10 stable-ABI fetch/restore protocol
// (PyErr_Fetch, PyErr_NormalizeException, PyErr_Restore); the single-object protocol
// replacing it only exists from 3.12. Dropping an unrestored error releases it.
class FetchedError {
public:
    // Takes the pending exception (possibly none) out of the interpreter.
    // REQUIRES: the GIL is held.
    [[nodiscard]] static FetchedError fetch() noexcept;

    // True when an exception was pending at fetch().
    [[nodiscard]] bool has_error() const noexcept { return static_cast<bool>(type_); }

    // Turns the held exception into an instance (the value is a bare message or
    // argument tuple before that); afterwards value() is the exception object.
    void normalize() noexcept;

    // The exception value, borrowed; after normalize() the exception instance.
    [[nodiscard]] PyObject* value() const noexcept { return value_.get(); }

    // Makes the held exception pending again (replacing whatever is pending); the
    // holder is left empty. Restoring an empty holder clears the pending exception.
    void restore() noexcept;

private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

}  // namespace sferix::python
