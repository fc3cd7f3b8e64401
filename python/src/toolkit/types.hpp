#pragma once

// Classes made from PyType_Spec descriptions: their type objects, the instances' C++
// state, and the entries of their method tables.

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "python_api.hpp"

namespace sferix::python {

// Type flags of the module's classes. Not Py_TPFLAGS_BASETYPE (no subclassing), not
// Py_TPFLAGS_HAVE_GC (instances hold no Python references); the PyType_Specs declare no
// __dict__ or __weakref__ offsets, so instances have neither. Immutable, like the
// built-in types: the classes are process-wide, so a program that rebinds a method
// would change it for every other user of the module.
inline constexpr unsigned int CLASS_FLAGS = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
// Classes without a constructor of their own: calling them raises the interpreter's
// TypeError for types that disallow instantiation.
inline constexpr unsigned int VALUE_CLASS_FLAGS = CLASS_FLAGS | Py_TPFLAGS_DISALLOW_INSTANTIATION;

// A class's type object, created from its PyType_Spec with PyType_FromSpec once per
// process, on first use. The type name "sferix.ClassName" makes __module__ "sferix",
// the package that re-exports the class, so pickle, copy and help() find it by name;
// __name__/__qualname__ are "ClassName". The PyType_Spec must outlive the process (a static).
//
//     PyType_Spec point_spec = {"sferix.Point", instance_size<PointHandle>(), 0, VALUE_CLASS_FLAGS, point_slots};
//     LazyType point_class(point_spec);
//     PyTypeObject* point_type() { return point_class.get(); }
class LazyType {
public:
    constexpr explicit LazyType(PyType_Spec& type_spec) noexcept : type_spec_(&type_spec) {}

    // The type object, borrowed; nullptr with a Python exception pending if creating it
    // failed (the next call tries again). Panics on a PyType_Spec that breaks the class rules.
    // REQUIRES: the GIL is held.
    PyTypeObject* get();

private:
    PyType_Spec* type_spec_;
    LazyObject type_;
};

// The memory layout of an instance: the object header followed by the C++ state,
// constructed in place by new_instance and destroyed by dealloc_instance.
template <typename State>
struct Instance {
    PyObject header;
    alignas(State) unsigned char storage[sizeof(State)];
};

// The instance size to put in a class's PyType_Spec.
template <typename State>
constexpr int instance_size() noexcept {
    return static_cast<int>(sizeof(Instance<State>));
}

// The state of an instance created by new_instance<State>. REQUIRES: `self` is one
// (check it with check_instance first where the interpreter does not guarantee it).
template <typename State>
State& state_of(PyObject* self /* borrowed */) noexcept {
    auto* instance = reinterpret_cast<Instance<State>*>(self);
    return *std::launder(reinterpret_cast<State*>(instance->storage));
}

// Frees an instance through its type's tp_free slot and drops the reference that the
// instance held on its heap type. The instance's state must already be destroyed.
void free_instance(PyObject* self /* owned, consumed */) noexcept;

// A new instance of `type` (a class whose PyType_Spec has instance_size<State>()), allocated
// through the type's tp_alloc slot, holding `state` moved in. Returns a new reference,
// or nullptr with the allocation's exception pending (then `state` is left as it was).
template <typename State>
    requires(!std::is_reference_v<State>)  // an rvalue: the state is moved in
PyObject* new_instance(PyTypeObject* type /* borrowed */, State&& state) {
    // Object memory is 16-byte aligned on the platforms we build for.
    static_assert(alignof(State) <= 16, "instance state needs more alignment than the object allocator gives");
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);  // owned or nullptr
    if (self == nullptr) {
        return nullptr;
    }
    try {
        ::new (static_cast<void*>(reinterpret_cast<Instance<State>*>(self)->storage)) State(std::move(state));
    } catch (...) {
        free_instance(self);
        throw;
    }
    return self;
}

// The tp_dealloc slot of a class with instance state `State`: destroys the state (a
// failure there is reported as unraisable, never propagated), then frees the object.
template <typename State>
void dealloc_instance(PyObject* self) noexcept {
    run_entry_unraisable(self, [self] { std::destroy_at(&state_of<State>(self)); });
    free_instance(self);
}

// A class of instances with C++ state: `Class::State`, and `Class::type()`, its type
// object (borrowed; nullptr with an exception pending).
template <typename Class>
concept StatefulClass = requires {
    typename Class::State;
    { Class::type() } -> std::same_as<PyTypeObject*>;
};

// Runs `body(state)` inside the entry wrapper with the state of `self`, and returns its
// result; the slot's error return with the cast-rule TypeError pending when `self` is
// not an instance of the class (the interpreter's descriptors normally rule that out
// before we are called).
template <StatefulClass Class, typename Body>
auto with_state(PyObject* self /* borrowed */, Body&& body) noexcept
    -> std::invoke_result_t<Body&, const typename Class::State&> {
    using Result = std::invoke_result_t<Body&, const typename Class::State&>;
    return run_entry([&]() -> Result {
        if (!check_instance(self, Class::type())) {
            return error_return<Result>();
        }
        return body(state_of<typename Class::State>(self));
    });
}

// A fast-call method: with the state of `self`, binds the call's arguments to the N
// parameters of `description` and returns `body(state, slots)`, the slots borrowed from
// the call (nullptr for a parameter not given).
template <StatefulClass Class, std::size_t N, typename Body>
PyObject* run_method(PyObject* self, const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) noexcept {
    return with_state<Class>(self, [&](const typename Class::State& state) -> PyObject* {
        std::array<PyObject*, N> slots{};  // borrowed from the call
        if (!bind_fastcall(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        return body(state, slots);
    });
}

// The rows of `parts`, one table after the other, then the all-zero row that ends a
// method or getter table.
template <typename Row, std::size_t... N>
std::array<Row, (N + ... + 0) + 1> table_of(const std::array<Row, N>&... parts) {
    std::array<Row, (N + ... + 0) + 1> table{};
    std::size_t next = 0;
    ((std::copy(parts.begin(), parts.end(), table.begin() + static_cast<std::ptrdiff_t>(next)), next += N), ...);
    return table;
}

// The flags of a method table entry for a function taking fast-call arguments and keywords.
inline constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a PyMethodDef stores;
// the detour through void(*)() is the one function-pointer cast that -Wcast-function-type
// accepts, and the interpreter calls it back with its real signature.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall_method(FastcallFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace sferix::python
