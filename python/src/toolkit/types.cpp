#include "types.hpp"

#include "support/panic.hpp"

namespace sferix::python {

PyTypeObject* LazyType::get() {
    PyObject* type = type_.get([this] {
        SFERIX_ASSERT((type_spec_->flags & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC)) == 0,
                      "the module's classes are final and not garbage-collected");
        return PyType_FromSpec(type_spec_);
    });
    return reinterpret_cast<PyTypeObject*>(type);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);  // borrowed from `self`; its reference is dropped last
    auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

}  // namespace sferix::python
