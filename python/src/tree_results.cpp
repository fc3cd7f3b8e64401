#include "tree_results.hpp"

#include <cstddef>

#include "py_ref.hpp"

namespace sferix::python {

namespace {

// A list of `size` items made by `item(i)` (each a new reference or nullptr).
template <typename Item>
PyObject* list_of(std::size_t size, Item&& item) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* value = item(i);  // owned, given to the list (PyList_SetItem steals it even on failure)
        if (value == nullptr || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value) < 0) {
            return nullptr;
        }
    }
    return list.release();
}

PyObject* position_object(std::uint64_t position) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(position));
}

PyObject* pair_object(const PositionWithMetres& hit) {
    const PyRef position = PyRef::steal(position_object(hit.position));
    if (!position) {
        return nullptr;
    }
    const PyRef metres = PyRef::steal(PyFloat_FromDouble(hit.metres));
    if (!metres) {
        return nullptr;
    }
    return PyTuple_Pack(2, position.get(), metres.get());
}

}  // namespace

PyObject* position_list(std::span<const std::uint64_t> positions) {
    return list_of(positions.size(), [positions](std::size_t i) { return position_object(positions[i]); });
}

PyObject* within_result(std::span<const PositionWithMetres> hits, bool return_distance) {
    if (return_distance) {
        return list_of(hits.size(), [hits](std::size_t i) { return pair_object(hits[i]); });
    }
    return list_of(hits.size(), [hits](std::size_t i) { return position_object(hits[i].position); });
}

PyObject* nearest_result(const std::optional<PositionWithMetres>& hit, bool with_distance) {
    if (!hit) {
        return PyRef::new_ref(Py_None).release();
    }
    return with_distance ? pair_object(*hit) : position_object(hit->position);
}

}  // namespace sferix::python
