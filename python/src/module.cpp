// The _sferix extension module: multi-phase initialisation with one exec slot and no
// module state; everything it holds is process-wide and created once.
#include <array>

#include "geo_input.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"
#include "trees.hpp"
#include "values.hpp"

// The build passes the version from pyproject.toml, its one home.
#ifndef SFERIX_VERSION
#error "SFERIX_VERSION must be defined by the build"
#endif

namespace sferix::python {
namespace {

// A class added to the module: its bare name and the getter of its process-wide type
// object (borrowed, or nullptr with an exception pending).
struct ModuleClass {
    const char* name;
    PyTypeObject* (*type)();
};

// The classes, in the order they are added after GeodeticError:
// Point, LineString, Polygon, MultiLineString, MultiPolygon, GeodeticPointTree,
// GeodeticLineStringTree, GeodeticPolygonTree.
constexpr std::array<ModuleClass, 8> MODULE_CLASSES = {{
    {"Point", point_type},
    {"LineString", linestring_type},
    {"Polygon", polygon_type},
    {"MultiLineString", multilinestring_type},
    {"MultiPolygon", multipolygon_type},
    {"GeodeticPointTree", point_tree_type},
    {"GeodeticLineStringTree", linestring_tree_type},
    {"GeodeticPolygonTree", polygon_tree_type},
}};

// Appends `name` to the module's __all__ (creating it when absent), then sets the
// attribute, so __all__ always lists the attributes in the order they were added.
int add_public_attribute(PyObject* module /* borrowed */, const char* name, PyObject* value /* borrowed */) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) {
            return -1;
        }
    }
    const PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, name, value);
}

int module_body(PyObject* module /* borrowed */) {
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "module");
        return -1;
    }
    // Created now, so that the panic path rarely has to build a type. Not public here
    // (no ordinary input raises it); the sferix package gives it its public name,
    // which its __module__ names, so pickle and help() can find it.
    if (PyModule_AddObjectRef(module, "_PanicException", panic_exception_type()) < 0) {
        return -1;
    }

    const PyRef version = PyRef::steal(PyUnicode_FromString(SFERIX_VERSION));
    if (!version || add_public_attribute(module, "__version__", version.get()) < 0) {
        return -1;
    }
    if (add_public_attribute(module, "GeodeticError", geodetic_error_type()) < 0) {
        return -1;
    }
    for (const ModuleClass& entry : MODULE_CLASSES) {
        PyTypeObject* type = entry.type();  // borrowed, process-wide
        if (type == nullptr || add_public_attribute(module, entry.name, reinterpret_cast<PyObject*>(type)) < 0) {
            return -1;
        }
    }
    return 0;
}

int module_exec(PyObject* module) {
    return run_entry([module] { return module_body(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sferix",
    "Static R-trees over geographic points, linestrings and polygons on the sphere; the compiled\n"
    "core of the sferix package, which re-exports everything public here.",
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
