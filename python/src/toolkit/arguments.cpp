#include "arguments.hpp"

#include <vector>

#include "errors.hpp"
#include "py_ref.hpp"

#include "support/panic.hpp"

namespace sferix::python {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c': every name quoted, " and " before the last,
// and a comma after every name but the last when there are more than two.
std::string quoted_list(const std::vector<std::string>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                list += ",";
            }
            list += " ";
            if (i + 1 == names.size()) {
                list += "and ";
            }
        }
        list += "'" + names[i] + "'";
    }
    return list;
}

std::nullptr_t type_error(const FunctionDescription& description, const std::string& detail) {
    return set_error_text(PyExc_TypeError, description.full_name() + detail);
}

// The binding algorithm shared by both calling conventions: positional arguments are
// placed first, then keywords one at a time, then completeness is checked.
class Binder {
public:
    Binder(const FunctionDescription& description, std::span<PyObject*> slots)
        : description_(description), slots_(slots) {
        SFERIX_ASSERT(slots.size() == description.parameters.size(), "one argument slot per parameter");
        SFERIX_ASSERT(description.positional_only <= description.parameters.size() &&
                          description.required + description.keyword_only <= description.parameters.size(),
                      "positional-only, required and keyword-only parameters are among the parameters");
        for (PyObject*& slot : slots_) {
            slot = nullptr;
        }
    }

    // Checks the number of positional arguments; the caller then places them.
    bool accept_positional_count(Py_ssize_t given) {
        const std::size_t count = description_.parameters.size() - description_.keyword_only;
        if (static_cast<std::size_t>(given) <= count) {
            return true;
        }
        std::string detail = " takes ";
        if (description_.required == count) {
            detail += std::to_string(count);
        } else {
            detail += "from " + std::to_string(description_.required) + " to " + std::to_string(count);
        }
        detail += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
        type_error(description_, detail);
        return false;
    }

    void place_positional(std::size_t index, PyObject* value /* borrowed */) { slots_[index] = value; }

    bool place_keyword(PyObject* name /* borrowed */, PyObject* value /* borrowed */) {
        const std::span<const char* const> parameters = description_.parameters;
        if (PyUnicode_Check(name)) {
            for (std::size_t i = 0; i < parameters.size(); ++i) {
                if (PyUnicode_CompareWithASCIIString(name, parameters[i]) != 0) {
                    continue;
                }
                if (i < description_.positional_only) {
                    positional_only_by_keyword_.emplace_back(parameters[i]);
                    return true;
                }
                if (slots_[i] != nullptr) {
                    type_error(description_, std::string(" got multiple values for argument '") + parameters[i] + "'");
                    return false;
                }
                slots_[i] = value;
                return true;
            }
        }
        const PyRef text = PyRef::steal(PyObject_Str(name));
        if (!text) {
            return false;
        }
        const std::optional<std::string> utf8 = utf8_text(text.get());
        if (!utf8) {
            return false;
        }
        type_error(description_, " got an unexpected keyword argument '" + *utf8 + "'");
        return false;
    }

    bool finish() {
        if (!positional_only_by_keyword_.empty()) {
            type_error(description_, " got some positional-only arguments passed as keyword arguments: " +
                                         quoted_list(positional_only_by_keyword_));
            return false;
        }
        std::vector<std::string> missing;
        for (std::size_t i = 0; i < description_.required; ++i) {
            if (slots_[i] == nullptr) {
                missing.emplace_back(description_.parameters[i]);
            }
        }
        if (missing.empty()) {
            return true;
        }
        type_error(description_, " missing " + std::to_string(missing.size()) + " required positional " +
                                     (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
        return false;
    }

private:
    const FunctionDescription& description_;
    std::span<PyObject*> slots_;
    std::vector<std::string> positional_only_by_keyword_;
};

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += ".";
    }
    name += function_name;
    name += "()";
    return name;
}

bool bind_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> slots) {
    Binder binder(description, slots);
    if (!binder.accept_positional_count(nargs)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        binder.place_positional(static_cast<std::size_t>(i), args[i]);
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (keyword_count < 0) {
        return false;
    }
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* name = PyTuple_GetItem(kwnames, i);  // borrowed from `kwnames`
        if (name == nullptr || !binder.place_keyword(name, args[nargs + i])) {
            return false;
        }
    }
    return binder.finish();
}

bool bind_call(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> slots) {
    Binder binder(description, slots);
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 0 || !binder.accept_positional_count(count)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* value = PyTuple_GetItem(args, i);  // borrowed from `args`
        if (value == nullptr) {
            return false;
        }
        binder.place_positional(static_cast<std::size_t>(i), value);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;   // borrowed from `kwargs`
        PyObject* value = nullptr;  // borrowed from `kwargs`
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!binder.place_keyword(name, value)) {
                return false;
            }
        }
    }
    return binder.finish();
}

namespace {

// The conversion failed with a pending exception: name the parameter and give up.
template <typename T>
std::optional<T> failed(const char* name) {
    add_argument_note(name);
    return std::nullopt;
}

// True when `type` is numpy's boolean scalar type: numpy.bool_ (numpy < 2) or
// numpy.bool (numpy >= 2). Decided by name, so numpy is never imported here.
std::optional<bool> is_numpy_bool_type(PyTypeObject* type) {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);  // borrowed
    const PyRef module = PyRef::steal(PyObject_GetAttrString(type_object, "__module__"));
    if (!module) {
        return std::nullopt;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
        return false;
    }
    const PyRef name = PyRef::steal(PyObject_GetAttrString(type_object, "__name__"));
    if (!name) {
        return std::nullopt;
    }
    return PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// A numpy bool scalar through its type's __bool__, whose result must be a bool.
std::optional<bool> numpy_bool_value(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));  // borrowed
    const PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::nullopt;
        }
        PyErr_Clear();
        const PyRef type_text = PyRef::steal(PyObject_Str(type));
        if (!type_text) {
            return std::nullopt;
        }
        const std::optional<std::string> text = utf8_text(type_text.get());
        if (text) {
            set_error_text(PyExc_TypeError, "object of type '" + *text + "' does not define a '__bool__' conversion");
        }
        return std::nullopt;
    }
    const PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
    if (!result) {
        return std::nullopt;
    }
    if (!PyBool_Check(result.get())) {
        raise_not_instance(result.get(), "bool");
        return std::nullopt;
    }
    return result.get() == Py_True;
}

}  // namespace

void add_argument_note(const char* name) { add_note(std::string("while processing '") + name + "'"); }

std::optional<double> convert_double(PyObject* value, const char* name) {
    const double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred() != nullptr) {
        return failed<double>(name);
    }
    return result;
}

std::optional<bool> convert_bool(PyObject* value, const char* name) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    const std::optional<bool> numpy_bool = is_numpy_bool_type(Py_TYPE(value));
    if (!numpy_bool) {
        return failed<bool>(name);
    }
    if (!*numpy_bool) {
        raise_not_instance(value, "bool");
        return failed<bool>(name);
    }
    const std::optional<bool> result = numpy_bool_value(value);
    if (!result) {
        return failed<bool>(name);
    }
    return result;
}

std::optional<std::uint64_t> convert_index(PyObject* value, const char* name) {
    PyRef integer = PyRef::new_ref(value);
    if (!PyLong_Check(value)) {
        integer = PyRef::steal(PyNumber_Index(value));
        if (!integer) {
            return failed<std::uint64_t>(name);
        }
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        return failed<std::uint64_t>(name);
    }
    return static_cast<std::uint64_t>(result);
}

}  // namespace sferix::python
