#pragma once

// Arguments of calls from the interpreter: binding them to parameters by position and
// keyword, and converting them to C++ values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "python_api.hpp"

namespace sferix::python {

// The static description of one Python-callable with parameters, from which arguments
// are bound and binding messages are built. Parameters are positional-or-keyword, but
// for trailing keyword-only ones (GeodeticPolygonTree's `oriented`); there are no
// *args/**kwargs.
//
//     constexpr const char* WITHIN_PARAMETERS[] = {"query", "radius_metres", "return_distance"};
//     constexpr FunctionDescription WITHIN_DISTANCE{"GeodeticPointTree", "within_distance",
//                                                   WITHIN_PARAMETERS, 0, 2};
struct FunctionDescription {
    // The class the callable belongs to; empty for a free function.
    std::string_view class_name;
    // The Python name of the callable ("__new__" for a constructor).
    std::string_view function_name;
    // The parameter names, in order.
    std::span<const char* const> parameters;
    // How many leading parameters are positional-only (0 throughout this module).
    std::size_t positional_only = 0;
    // How many leading parameters have no default.
    std::size_t required = 0;
    // How many trailing parameters are keyword-only; they have defaults.
    std::size_t keyword_only = 0;

    // "Class.function()", or "function()" without a class: the start of every message.
    [[nodiscard]] std::string full_name() const;
};

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call: `args[0, nargs)` are the
// positional arguments, and `kwnames` (a tuple of str, or nullptr) names the keyword
// arguments that follow them in `args`. Fills `slots` (one per parameter, in parameter
// order) with borrowed references; a parameter not given stays nullptr, i.e. takes its
// default. Returns false with a TypeError pending when binding fails; the messages are:
//   F takes N positional arguments but M was/were given
//   F takes from R to N positional arguments but M was/were given
//   F got multiple values for argument 'x'
//   F got an unexpected keyword argument 'x'
//   F got some positional-only arguments passed as keyword arguments: 'a' and 'b'
//   F missing K required positional argument(s): 'a' / 'a' and 'b' / 'a', 'b', and 'c'
// with F = description.full_name(). REQUIRES: slots.size() == parameters.size().
[[nodiscard]] bool bind_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, std::span<PyObject*> slots);

// The same for a constructor (tp_new): `args` is the argument tuple and `kwargs` the
// keyword dict (or nullptr); keywords are taken in the dict's (call) order.
[[nodiscard]] bool bind_call(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                             std::span<PyObject*> slots);

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
