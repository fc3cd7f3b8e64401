#pragma once

#include <type_traits>
#include <utility>

#include "fetched_error.hpp"
#include "python_api.hpp"

namespace sferix::python {

// sferix.PanicException (base BaseException, so `except Exception` does not swallow
// it): what a broken internal invariant surfaces as at the Python boundary. Created
// once per process; the module body creates it up front so that the panic path itself
// rarely has to allocate a type. Returns a borrowed reference; a failure to create it
// panics.
PyObject* panic_exception_type();

namespace detail {

// Turns the C++ exception currently being handled into the pending Python exception:
// support::Panic and any other std::exception -> PanicException(its text),
// std::bad_alloc -> MemoryError, anything else -> PanicException with a fixed text.
// Never throws: a failure while doing so ends the process with
// "uncaught panic at ffi boundary". REQUIRES: called inside a catch block, GIL held.
void raise_current_exception() noexcept;

// The error return of an interpreter slot: NULL for object-returning slots, -1 for the
// integer-returning ones (int, Py_ssize_t).
template <typename Result>
constexpr Result error_return() noexcept {
    if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
    } else {
        static_assert(std::is_integral_v<Result> && std::is_signed_v<Result>,
                      "an entry point returns an object pointer or a signed integer");
        return -1;
    }
}

}  // namespace detail

// The entry wrapper: every function the interpreter calls runs its body through it.
// `body()` returns the slot's value, or its error return with a Python exception
// pending; either is passed through. A C++ exception escaping `body` becomes the
// pending Python exception (see detail::raise_current_exception) and the slot's error
// return. No C++ exception ever reaches the interpreter.
//
//     PyObject* tree_nearest(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
//         return run_entry([&]() -> PyObject* { ...; return result.release(); });
//     }
template <typename Body>
auto run_entry(Body&& body) noexcept -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    try {
        return body();
    } catch (...) {
        detail::raise_current_exception();
        return detail::error_return<Result>();
    }
}

// The entry wrapper of a slot that cannot report errors (deallocation): a C++
// exception escaping `body` is turned into a Python exception and reported through
// PyErr_WriteUnraisable(object); an exception already pending is kept.
template <typename Body>
void run_entry_unraisable(PyObject* object /* borrowed */, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        FetchedError pending = FetchedError::fetch();
        detail::raise_current_exception();
        PyErr_WriteUnraisable(object);
        pending.restore();
    }
}

}  // namespace sferix::python
