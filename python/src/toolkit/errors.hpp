#pragma once

// Python exceptions: raising them, holding a pending one, and the entry wrapper through
// which every call from the interpreter runs, so that no C++ exception reaches it.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "gil.hpp"
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

// A str's text as UTF-8 bytes, NULs kept and lone surrogates passed through, so that any
// name (a keyword, a type's __qualname__) can be quoted back into a message unchanged.
// Empty with an exception pending if `text` is not a str.
std::optional<std::string> utf8_text(PyObject* text /* borrowed */);

// Sets type(message) as the pending exception, the message decoded as utf8_text wrote
// it. Always returns nullptr.
std::nullptr_t set_error_text(PyObject* type /* borrowed */, const std::string& utf8);

// The qualified name (`__qualname__`) of `type`, e.g. "int", "bool", "GeodeticPointTree";
// nullopt with a Python exception pending if it cannot be read.
std::optional<std::string> qualified_name(PyTypeObject* type);

// The cast rule: sets TypeError "'T' object is not an instance of 'U'", T being the
// qualified name of the type of `object` and U `expected`; for None the text is
// "'None' is not an instance of 'U'". Always returns nullptr.
std::nullptr_t raise_not_instance(PyObject* object /* borrowed */, std::string_view expected);

// True when `object` is an instance of `type` or a subtype of it; otherwise sets the
// cast-rule TypeError with U = the qualified name of `type` and returns false.
bool check_instance(PyObject* object /* borrowed */, PyTypeObject* type /* borrowed */);

// Sets ValueError(message) as the pending exception (malformed input structure).
// Always returns nullptr.
std::nullptr_t value_error(const char* message);
std::nullptr_t value_error(const std::string& message);

// Attaches `note` to the pending exception through its add_note method, looked up at
// run time: exceptions take notes from 3.11 on, and one abi3 build also serves 3.10.
// Without that method, or when attaching fails, the exception stays as it was; it
// remains pending either way. REQUIRES: an exception is pending.
void add_note(const std::string& note);

// Sets attribute `name` of the pending exception to `index` (which element of the input
// it is about, for a caller to read rather than parse out of the text); an exception
// that takes no attributes is left as it was. REQUIRES: an exception is pending.
void set_error_index(const char* name, std::size_t index);

// Clears the pending exception when it is an ordinary error (an Exception) and says so.
// An interrupt or exit request (KeyboardInterrupt, SystemExit: BaseException only)
// stays pending and the caller gives up, so Ctrl-C during parsing is never turned
// into a parse error.
bool discard_ordinary_error();

// The exception class kept in `holder`, made on first use by PyErr_NewExceptionWithDoc
// with the given dotted name, docstring and base class. Returns a borrowed reference;
// a failure to create it panics. REQUIRES: the GIL is held.
PyObject* exception_type(LazyObject& holder, const char* name, const char* doc, PyObject* base /* borrowed */);

// sferix.PanicException (base BaseException, so `except Exception` does not swallow
// it): what a broken internal invariant surfaces as at the Python boundary. Created
// once per process; the module body creates it up front so that the panic path itself
// rarely has to allocate a type. Returns a borrowed reference; a failure to create it
// panics.
PyObject* panic_exception_type();

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

namespace detail {

// Turns the C++ exception currently being handled into the pending Python exception:
// support::Panic and any other std::exception -> PanicException(its text),
// std::bad_alloc -> MemoryError, anything else -> PanicException with a fixed text.
// Never throws: a failure while doing so ends the process with
// "uncaught panic at ffi boundary". REQUIRES: called inside a catch block, GIL held.
void raise_current_exception() noexcept;

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
        return error_return<Result>();
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
