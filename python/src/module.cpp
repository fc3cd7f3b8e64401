// The _sferix extension module: multi-phase initialisation with one exec slot.
#include "python_api.hpp"

#include "error.hpp"

namespace sferix::python {
namespace {

// Appends `name` to the module's __all__ (creating it when absent), then sets the
// attribute, so __all__ always lists the attributes in the order they were added.
int add_public_attribute(PyObject* module, const char* name, PyObject* value /* borrowed */) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");  // owned or NULL
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* text = PyUnicode_FromString(name);  // owned or NULL
    const int appended = text == nullptr ? -1 : PyList_Append(all, text);
    Py_XDECREF(text);
    Py_DECREF(all);
    if (appended < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, name, value);
}

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "module body called on a non-module object");
        return -1;
    }
    PyObject* version = PyUnicode_FromString("0.2.1");  // owned or NULL
    if (version == nullptr) {
        return -1;
    }
    const int added = add_public_attribute(module, "__version__", version);
    Py_DECREF(version);
    if (added < 0) {
        return -1;
    }
    PyObject* error_type = geodetic_error_type();  // borrowed, process-wide
    if (error_type == nullptr || add_public_attribute(module, "GeodeticError", error_type) < 0) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sferix",
    "The extension module. Its name must match the `[lib] name` and the final component of\n"
    "`module-name` in `pyproject.toml`.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sferix::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__sferix(void) {
    return PyModuleDef_Init(&sferix::python::module_def);
}
