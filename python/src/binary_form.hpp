#pragma once

// The Python face of the binary form (index/tree_format.hpp), written once for the tree
// and value classes: bytes out, bytes in with the loader's refusal as ValueError, and
// the pickle and copy methods built on them.
//
// Every class that travels has
//   to_bytes()            the binary form, a new bytes object;
//   from_bytes(data)      a class method; `data` is bytes or anything bytes() accepts
//                         (bytearray, memoryview, pickle.PickleBuffer), copied once
//                         into bytes; a point tree then reads its arrays in place in
//                         that bytes object and keeps it alive;
//   __reduce__()          (Class.from_bytes, (to_bytes(),)), so unpickling runs the
//                         same checks as from_bytes (protocols 2 to 5);
//   __reduce_ex__(protocol)  the same, with the bytes wrapped in a pickle.PickleBuffer
//                         from protocol 5 on, so that a buffer_callback may carry them
//                         out of band;
//   __copy__(), __deepcopy__(memo)   the object itself: trees and values are immutable.

#include <array>
#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "toolkit/arguments.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"
#include "toolkit/types.hpp"

#include "index/tree_format.hpp"
#include "support/huge_pages.hpp"

namespace sferix::python {

// A new bytes object holding `data`; nullptr with an exception pending.
inline PyObject* bytes_of(const std::vector<std::byte>& data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
}

// `data` as a bytes object (itself when it is one, else bytes(data)); an empty PyRef
// with TypeError pending when it has no bytes.
inline PyRef bytes_argument(PyObject* data /* borrowed */) {
    if (PyBytes_Check(data)) {
        return PyRef::new_ref(data);
    }
    return PyRef::steal(PyBytes_FromObject(data));
}

// The bytes of a bytes object, borrowed from it.
inline std::span<const std::byte> bytes_view(PyObject* bytes /* borrowed bytes */) {
    return {reinterpret_cast<const std::byte*>(PyBytes_AsString(bytes)), static_cast<std::size_t>(PyBytes_Size(bytes))};
}

// A share in a bytes object for a tree that reads its arrays in place: it holds a
// reference, and whichever thread lets go of the last share drops it holding the GIL.
// The 3.10 limited API has no buffer protocol, so only bytes, which cannot change,
// are lent this way.
inline std::shared_ptr<const void> keeper_of(PyObject* bytes /* borrowed bytes */) {
    PyObject* held = Py_NewRef(bytes);  // owned by the keeper; released by its deleter even if making it fails
    return std::shared_ptr<const void>(held, [](PyObject* object /* owned */) {
        const PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(object);
        PyGILState_Release(gil);
    });
}

// ValueError "<class_name>.from_bytes: <why>"; returns nullptr.
inline std::nullptr_t refuse_bytes(std::string_view class_name, const indexed::FormatError& error) {
    const std::string text = std::string(class_name) + ".from_bytes: " + error.message;
    PyErr_SetString(PyExc_ValueError, text.c_str());
    return nullptr;
}

// (type.from_bytes, (data,)) for __reduce__, stealing `data`; nullptr with an
// exception pending.
inline PyObject* reduce_value(PyTypeObject* type /* borrowed */, PyObject* data /* owned, consumed */) {
    PyRef owned_data = PyRef::steal(data);
    if (type == nullptr || !owned_data) {
        return nullptr;
    }
    PyRef from_bytes = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "from_bytes"));
    if (!from_bytes) {
        return nullptr;
    }
    return Py_BuildValue("(O(O))", from_bytes.get(), owned_data.get());
}

// reduce_value for pickle protocol `protocol` (an int): from 5 on the data travels as
// a pickle.PickleBuffer over it.
inline PyObject* reduce_ex_value(PyTypeObject* type /* borrowed */, PyObject* data /* owned, consumed */,
                                 PyObject* protocol /* borrowed */) {
    PyRef owned_data = PyRef::steal(data);
    if (!owned_data) {
        return nullptr;
    }
    const long level = PyLong_AsLong(protocol);
    if (level == -1 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    if (level < 5) {
        return reduce_value(type, owned_data.release());
    }
    PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
    if (!pickle) {
        return nullptr;
    }
    PyRef buffer_type = PyRef::steal(PyObject_GetAttrString(pickle.get(), "PickleBuffer"));
    if (!buffer_type) {
        return nullptr;
    }
    return reduce_value(type, PyObject_CallFunctionObjArgs(buffer_type.get(), owned_data.get(), nullptr));
}

// A class that travels: a StatefulClass with its NAME ("Point"), `encode(state)`, the
// binary form, and `decode(data, keeper)`, run without the GIL, which gives the new
// instance's state or the loader's refusal and may keep a share of the keeper to read
// `data` in place. A class whose instances are made otherwise has `adopt(decoded)`.
template <typename Form>
concept TravellingClass =
    StatefulClass<Form> && requires(const typename Form::State& state, std::span<const std::byte> data,
                                    const std::shared_ptr<const void>& keeper) {
        { Form::NAME } -> std::convertible_to<std::string_view>;
        { Form::encode(state) } -> std::same_as<std::vector<std::byte>>;
        { Form::decode(data, keeper) } -> std::same_as<std::variant<typename Form::State, indexed::FormatError>>;
    };

// The binary form of a state as a new bytes object; nullptr with an exception pending.
// A class that can write its form in place (encoded_size, encode_into) writes it into
// the new bytes object, without the GIL, rather than into a vector copied after.
template <TravellingClass Form>
PyObject* encoded_bytes(const typename Form::State& state) {
    if constexpr (requires(std::span<std::byte> out) {
                      { Form::encoded_size(state) } -> std::same_as<std::size_t>;
                      Form::encode_into(state, out);
                  }) {
        const std::size_t size = Form::encoded_size(state);
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            return PyErr_NoMemory();
        }
        PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) {
            return nullptr;
        }
        // A bytes object just made from no data, not yet seen by anyone, may be written.
        const std::span<std::byte> out(reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get())), size);
        support::advise_huge_pages(out.data(), size);
        {
            const ReleasedGil released;
            Form::encode_into(state, out);
        }
        return bytes.release();
    } else {
        return bytes_of(Form::encode(state));
    }
}

template <TravellingClass Form>
PyObject* travel_to_bytes(PyObject* self, PyObject* /* unused */) {
    return with_state<Form>(self, [](const typename Form::State& state) { return encoded_bytes<Form>(state); });
}

inline constexpr const char* const FROM_BYTES_PARAMETERS[] = {"data"};

// The class method: the buffer is checked and adopted without the GIL; the bytes
// object it lives in is held throughout and cannot change. The keeper outlives the
// call, so a share a failed load drops never releases the bytes off the GIL.
template <TravellingClass Form>
PyObject* travel_from_bytes(PyObject* /* cls */, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr FunctionDescription description{Form::NAME, "from_bytes", FROM_BYTES_PARAMETERS, 0, 1};
    return run_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};  // borrowed from the call
        if (!bind_fastcall(description, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const PyRef bytes = bytes_argument(slots[0]);
        if (!bytes) {
            return nullptr;
        }
        const std::span<const std::byte> data = bytes_view(bytes.get());
        const std::shared_ptr<const void> keeper = keeper_of(bytes.get());
        std::optional<decltype(Form::decode(data, keeper))> decoded;
        if (!run_interruptibly([&] { decoded.emplace(Form::decode(data, keeper)); })) {
            return nullptr;
        }
        if (auto* error = std::get_if<indexed::FormatError>(&*decoded)) {
            return refuse_bytes(Form::NAME, *error);
        }
        typename Form::State& state = std::get<0>(*decoded);
        if constexpr (requires { Form::adopt(std::move(state)); }) {
            return Form::adopt(std::move(state));
        } else {
            PyTypeObject* type = Form::type();  // borrowed
            return type == nullptr ? nullptr : new_instance(type, std::move(state));
        }
    });
}

template <TravellingClass Form>
PyObject* travel_reduce(PyObject* self, PyObject* /* unused */) {
    return with_state<Form>(self, [](const typename Form::State& state) {
        return reduce_value(Form::type(), encoded_bytes<Form>(state));
    });
}

template <TravellingClass Form>
PyObject* travel_reduce_ex(PyObject* self, PyObject* protocol /* borrowed */) {
    return with_state<Form>(self, [protocol](const typename Form::State& state) {
        return reduce_ex_value(Form::type(), encoded_bytes<Form>(state), protocol);
    });
}

// Immutable objects are their own copies.
inline PyObject* copy_self(PyObject* self, PyObject* /* unused */) {
    return run_entry([self] { return Py_NewRef(self); });
}
inline PyObject* deepcopy_self(PyObject* self, PyObject* /* memo */) {
    return run_entry([self] { return Py_NewRef(self); });
}

// The method table rows of the six methods, with the class's own docstrings for the
// first two.
template <TravellingClass Form>
std::array<PyMethodDef, 6> travel_methods(const char* to_bytes_doc, const char* from_bytes_doc) {
    return {{
        {"to_bytes", travel_to_bytes<Form>, METH_NOARGS, to_bytes_doc},
        {"from_bytes", fastcall_method(travel_from_bytes<Form>), FASTCALL | METH_CLASS, from_bytes_doc},
        {"__reduce__", travel_reduce<Form>, METH_NOARGS,
         "__reduce__($self)\n--\n\nPickle support: rebuilt by `from_bytes`."},
        {"__reduce_ex__", travel_reduce_ex<Form>, METH_O,
         "__reduce_ex__($self, protocol, /)\n--\n\nPickle support: from protocol 5 the binary form may travel out of "
         "band."},
        {"__copy__", copy_self, METH_NOARGS, "__copy__($self)\n--\n\nThe object itself: it is immutable."},
        {"__deepcopy__", deepcopy_self, METH_O,
         "__deepcopy__($self, memo, /)\n--\n\nThe object itself: it is immutable."},
    }};
}

}  // namespace sferix::python
