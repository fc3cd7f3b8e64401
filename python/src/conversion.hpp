#pragma once

#include <cstdint>
#include <optional>

#include "python_api.hpp"

namespace sferix::python {

// Typed conversions of bound arguments. Each takes the argument (borrowed, not null)
// and the parameter's name, and returns the value, or nullopt with a Python exception
// pending. A failed conversion raises its own exception, unchanged in type and text,
// with the note "while processing 'NAME'" attached through the exception's add_note
// (where the interpreter has no notes, the exception is raised without one).

// A 64-bit float by the interpreter's float conversion (float, int, bool, __float__,
// __index__); NaN and infinities pass through.
std::optional<double> convert_double(PyObject* value, const char* name);

// Strictly True or False; also a numpy bool scalar, through its __bool__. Anything
// else: TypeError "'T' object is not an instance of 'bool'".
std::optional<bool> convert_bool(PyObject* value, const char* name);

// An unsigned 64-bit index from an int or any object with __index__; a negative or too
// large value raises the interpreter's OverflowError, a non-integer its TypeError.
std::optional<std::uint64_t> convert_index(PyObject* value, const char* name);

// Attaches "while processing 'NAME'" to the pending exception, if the interpreter
// supports notes; a failure to attach is ignored. REQUIRES: an exception is pending.
void add_argument_note(const char* name);

}  // namespace sferix::python
