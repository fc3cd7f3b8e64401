#pragma once

#include "python_api.hpp"

#include "geodetic/error.hpp"

namespace sferix::python {

// sferix.GeodeticError (base ValueError), created once per process on first use.
// Returns a borrowed reference; a failure to create it panics.
PyObject* geodetic_error_type();

// Sets GeodeticError(message) as the pending exception. Always returns nullptr.
std::nullptr_t map_error(const geodetic::GeodeticError& error);

}  // namespace sferix::python
