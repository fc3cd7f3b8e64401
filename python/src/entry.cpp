#include "entry.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "lazy_object.hpp"
#include "support/panic.hpp"

namespace sferix::python {

namespace {

LazyObject panic_exception;

// The message of a failure that carries no text of its own.
constexpr const char* NO_MESSAGE = "internal failure without a message";

void raise_panic(const char* message) {
    PyErr_SetString(panic_exception_type(), *message != '\0' ? message : NO_MESSAGE);
}

}  // namespace

PyObject* panic_exception_type() {
    PyObject* type = panic_exception.get([] {
        return PyErr_NewExceptionWithDoc(
            "sferix.PanicException",
            "Raised when an internal invariant of sferix is broken. No valid input reaches it: "
            "please report it as a bug.\n\n"
            "It derives from BaseException, not Exception, so that `except Exception` handlers "
            "do not swallow it.",
            PyExc_BaseException, nullptr);
    });
    if (type == nullptr) {
        support::panic("Failed to initialize new exception type.");
    }
    return type;
}

namespace detail {

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const support::Panic& failure) {
            raise_panic(failure.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& failure) {
            raise_panic(failure.what());
        } catch (...) {
            raise_panic(NO_MESSAGE);
        }
    } catch (...) {
        // Failing while turning a failure into a Python exception leaves no sane state
        // to return to the interpreter in.
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace detail

}  // namespace sferix::python
