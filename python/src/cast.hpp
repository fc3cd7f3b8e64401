#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "python_api.hpp"

namespace sferix::python {

// The qualified name (`__qualname__`) of `type`, e.g. "int", "bool", "GeodeticPointTree";
// nullopt with a Python exception pending if it cannot be read.
std::optional<std::string> qualified_name(PyTypeObject* type);

// The cast rule: sets TypeError "'T' object is not an instance of 'U'", T being the
// qualified name of the type of `object` and U `expected`; for None the text is
// "'None' is not an instance of 'U'". Always returns nullptr.
std::nullptr_t raise_not_instance(PyObject* object /* borrowed */, std::string_view expected);

// True when `object` is an instance of `type` or a subtype of it; otherwise sets the
// cast-rule TypeError with U = the qualified name of `type` and returns false.
bool check_instance(PyObject* object /* borrowed */, PyTypeObject* type /* borrowed */);

}  // namespace sferix::python
