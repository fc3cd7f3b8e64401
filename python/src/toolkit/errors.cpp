#include "errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "support/panic.hpp"

namespace sferix::python {

namespace {

// Lone surrogates are legal in a str but have no UTF-8 form; they round-trip through this.
constexpr const char* SURROGATES = "surrogatepass";

// The message of a failure that carries no text of its own.
constexpr const char* NO_MESSAGE = "internal failure without a message";

LazyObject panic_exception;

void raise_panic(const char* message) {
    PyErr_SetString(panic_exception_type(), *message != '\0' ? message : NO_MESSAGE);
}

}  // namespace

// The fetch/restore trio is deprecated (not removed) in newer headers; it is the
// protocol of the 3.10 stable ABI this module is built against.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

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

#pragma GCC diagnostic pop

std::optional<std::string> utf8_text(PyObject* text) {
    const PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", SURROGATES));
    if (!bytes) {
        return std::nullopt;
    }
    char* data = nullptr;  // borrowed from `bytes`
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::nullptr_t set_error_text(PyObject* type, const std::string& utf8) {
    const PyRef message =
        PyRef::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), SURROGATES));
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
}

std::optional<std::string> qualified_name(PyTypeObject* type) {
    // PyType_GetQualName is 3.11+; the attribute is there on every version.
    const PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (!name) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "a type's __qualname__ is not a str");
        return std::nullopt;
    }
    return utf8_text(name.get());
}

std::nullptr_t raise_not_instance(PyObject* object, std::string_view expected) {
    std::string message;
    if (object == Py_None) {
        message = "'None' is not an instance of '";
    } else {
        const std::optional<std::string> actual = qualified_name(Py_TYPE(object));
        if (!actual) {
            return nullptr;
        }
        message = "'" + *actual + "' object is not an instance of '";
    }
    message += expected;
    message += "'";
    return set_error_text(PyExc_TypeError, message);
}

bool check_instance(PyObject* object, PyTypeObject* type) {
    if (PyObject_TypeCheck(object, type)) {
        return true;
    }
    const std::optional<std::string> expected = qualified_name(type);
    if (expected) {
        raise_not_instance(object, *expected);
    }
    return false;
}

std::nullptr_t value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

std::nullptr_t value_error(const std::string& message) { return value_error(message.c_str()); }

void add_note(const std::string& note) {
    FetchedError error = FetchedError::fetch();
    error.normalize();
    if (error.value() != nullptr) {
        // Any failure of looking the method up or calling it is dropped.
        const PyRef method = PyRef::steal(PyObject_GetAttrString(error.value(), "add_note"));
        const PyRef text =
            method ? PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())))
                   : PyRef();
        const PyRef added =
            text ? PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr)) : PyRef();
        if (!added) {
            PyErr_Clear();
        }
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

PyObject* exception_type(LazyObject& holder, const char* name, const char* doc, PyObject* base) {
    PyObject* type = holder.get([=] { return PyErr_NewExceptionWithDoc(name, doc, base, nullptr); });
    if (type == nullptr) {
        support::panic("Failed to initialize new exception type.");
    }
    return type;
}

PyObject* panic_exception_type() {
    return exception_type(panic_exception, "sferix.PanicException",
                          "Raised when an internal invariant of sferix is broken. No valid input reaches it: "
                          "please report it as a bug.\n\n"
                          "It derives from BaseException, not Exception, so that `except Exception` handlers "
                          "do not swallow it.",
                          PyExc_BaseException);
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

void set_error_index(const char* name, std::size_t index) {
    FetchedError error = FetchedError::fetch();
    error.normalize();
    if (error.value() != nullptr) {
        const PyRef value = PyRef::steal(PyLong_FromSize_t(index));
        if (!value || PyObject_SetAttrString(error.value(), name, value.get()) < 0) {
            PyErr_Clear();
        }
    }
    error.restore();
}

}  // namespace sferix::python
