#include "cast.hpp"

#include "py_ref.hpp"
#include "text.hpp"

namespace sferix::python {

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

}  // namespace sferix::python
