#pragma once

#include <utility>

#include "python_api.hpp"

namespace sferix::python {

// Owns one strong reference to a Python object (or nothing) and releases it in its
// destructor, so no return or unwinding path can leak it. References are counted
// through the API's functions (Py_IncRef / Py_DecRef), never by touching the object.
//
//     PyRef text = PyRef::steal(PyUnicode_FromString("x"));   // a new reference
//     if (!text) { return nullptr; }                            // error pending
//     return text.release();                                    // hand it on
class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over `owned`, a new reference or nullptr.
    [[nodiscard]] static PyRef steal(PyObject* owned) noexcept { return PyRef(owned); }

    // Adds a reference to `borrowed` (which may be nullptr) and owns that one.
    [[nodiscard]] static PyRef new_ref(PyObject* borrowed) noexcept {
        Py_IncRef(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~PyRef() { Py_DecRef(object_); }

    // The object, borrowed from this handle; nullptr when empty.
    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (e.g. as a return value, or to a call that
    // steals it); the handle is left empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    // Drops the current reference and takes over `owned` (a new reference or nullptr).
    void reset(PyObject* owned = nullptr) noexcept { Py_DecRef(std::exchange(object_, owned)); }

private:
    explicit PyRef(PyObject* owned) noexcept : object_(owned) {}

    PyObject* object_ = nullptr;
};

}  // namespace sferix::python
