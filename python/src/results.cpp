#include "results.hpp"

#include <cstddef>

#include "toolkit/py_ref.hpp"
#include "toolkit/sequences.hpp"

namespace sferix::python {

namespace {

PyRef position_object(std::uint64_t position) {
    return PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(position)));
}

PyRef pair_object(const PositionWithMetres& hit) {
    const PyRef position = position_object(hit.position);
    if (!position) {
        return PyRef();
    }
    const PyRef metres = PyRef::steal(PyFloat_FromDouble(hit.metres));
    if (!metres) {
        return PyRef();
    }
    return PyRef::steal(PyTuple_Pack(2, position.get(), metres.get()));
}

}  // namespace

PyObject* position_list(std::span<const std::uint64_t> positions) {
    return new_list(positions.size(), [positions](std::size_t i) { return position_object(positions[i]); }).release();
}

PyObject* within_result(std::span<const PositionWithMetres> hits, bool return_distance) {
    if (return_distance) {
        return new_list(hits.size(), [hits](std::size_t i) { return pair_object(hits[i]); }).release();
    }
    return new_list(hits.size(), [hits](std::size_t i) { return position_object(hits[i].position); }).release();
}

PyObject* nearest_result(const std::optional<PositionWithMetres>& hit, bool with_distance) {
    if (!hit) {
        return PyRef::new_ref(Py_None).release();
    }
    return (with_distance ? pair_object(*hit) : position_object(hit->position)).release();
}

}  // namespace sferix::python
