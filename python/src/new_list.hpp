#pragma once

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

}  // namespace sferix::python
