#pragma once

// The Python face of the binary form (index/tree_format.hpp), shared by the tree and
// value classes: bytes out, bytes in with the loader's refusal as ValueError, and the
// pickle and copy methods built on them.
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

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "toolkit/errors.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/python_api.hpp"

#include "index/tree_format.hpp"

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

inline PyObject* copy_self(PyObject* self, PyObject* /* unused */) {
    return run_entry([self] { return Py_NewRef(self); });
}
inline PyObject* deepcopy_self(PyObject* self, PyObject* /* memo */) {
    return run_entry([self] { return Py_NewRef(self); });
}

inline constexpr const char* COPY_DOC = "__copy__($self)\n--\n\nThe object itself: it is immutable.";
inline constexpr const char* DEEPCOPY_DOC = "__deepcopy__($self, memo, /)\n--\n\nThe object itself: it is immutable.";
inline constexpr const char* REDUCE_EX_DOC =
    "__reduce_ex__($self, protocol, /)\n--\n\nPickle support: from protocol 5 the binary form may travel out of band.";
inline constexpr const char* REDUCE_DOC = "__reduce__($self)\n--\n\nPickle support: rebuilt by `from_bytes`.";

}  // namespace sferix::python
