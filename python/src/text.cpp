#include "text.hpp"

#include "py_ref.hpp"

namespace sferix::python {

namespace {
// Lone surrogates are legal in a str but have no UTF-8 form; they round-trip through this.
constexpr const char* SURROGATES = "surrogatepass";
}  // namespace

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

}  // namespace sferix::python
