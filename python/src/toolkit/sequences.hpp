#pragma once

// Python sequences: building lists item by item, walking iterables.

#include <cstddef>

#include "py_ref.hpp"
#include "python_api.hpp"

namespace sferix::python {

// A new list of `size` items, the one at index i made by `item(i)`, which returns a
// PyRef: the new item, or empty with an exception pending. Returns the list, or an
// empty PyRef with the exception pending when the list or any item cannot be made;
// then everything made so far is released. REQUIRES: the GIL is held.
//
//     PyRef numbers = new_list(values.size(), [&](std::size_t i) {
//         return PyRef::steal(PyFloat_FromDouble(values[i]));
//     });
template <typename Item>
[[nodiscard]] PyRef new_list(std::size_t size, Item&& item) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) {
        return PyRef();
    }
    for (std::size_t index = 0; index < size; ++index) {
        PyRef value = item(index);
        // PyList_SetItem takes the reference even when it fails; the slots not yet
        // filled are NULL, which the list's deallocation skips.
        if (!value || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), value.release()) < 0) {
            return PyRef();
        }
    }
    return list;
}

// The number of elements of an exact list or tuple (a sizing hint for the caller's
// array); 0 for anything else, whose length is not asked for.
[[nodiscard]] inline std::size_t exact_sequence_size(PyObject* object /* borrowed */) noexcept {
    if (PyList_CheckExact(object)) {
        return static_cast<std::size_t>(PyList_Size(object));
    }
    if (PyTuple_CheckExact(object)) {
        return static_cast<std::size_t>(PyTuple_Size(object));
    }
    return 0;
}

// Calls `visit(element)` for each element of `iterable` in iteration order, the element
// borrowed but kept alive for the call; `visit` returns false (with an exception
// pending) to stop. Returns true when every element was visited, false with an
// exception pending when `visit` failed or when creating the iterator (a non-iterable:
// the interpreter's TypeError) or advancing it raised.
//
// Exact lists and tuples are walked by index instead of through an iterator object,
// seeing exactly the elements their own iterators would: a list's length is read again
// before every step, as the list iterator does, so a `visit` that runs Python code
// which changes the list sees the same elements. Everything else (subclasses included,
// which may override __iter__) goes through the iterator protocol.
template <typename Visit>
bool for_each_element(PyObject* iterable /* borrowed */, Visit&& visit) {
    if (PyList_CheckExact(iterable)) {
        const PyRef list = PyRef::new_ref(iterable);  // as the list iterator holds it
        for (Py_ssize_t index = 0; index < PyList_Size(list.get()); ++index) {
            const PyRef element = PyRef::new_ref(PyList_GetItem(list.get(), index));
            if (!visit(element.get())) {
                return false;
            }
        }
        return true;
    }
    if (PyTuple_CheckExact(iterable)) {
        const PyRef tuple = PyRef::new_ref(iterable);
        const Py_ssize_t size = PyTuple_Size(tuple.get());
        for (Py_ssize_t index = 0; index < size; ++index) {
            PyObject* element = PyTuple_GetItem(tuple.get(), index);  // borrowed; a tuple never changes
            if (!visit(element)) {
                return false;
            }
        }
        return true;
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return false;
    }
    while (true) {
        const PyRef element = PyRef::steal(PyIter_Next(iterator.get()));
        if (!element) {
            return PyErr_Occurred() == nullptr;
        }
        if (!visit(element.get())) {
            return false;
        }
    }
}

}  // namespace sferix::python
