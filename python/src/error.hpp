#pragma once

#include <cstddef>
#include <string>

#include "python_api.hpp"

#include "geodetic/error.hpp"

namespace sferix::python {

// sferix.GeodeticError (base ValueError), created once per process on first use.
// Returns a borrowed reference; a failure to create it panics.
PyObject* geodetic_error_type();

// Sets GeodeticError(message) as the pending exception, the message being the library
// error's text. Always returns nullptr. The one place library errors become Python ones.
std::nullptr_t map_error(const geodetic::GeodeticError& error);

// Sets ValueError(message) as the pending exception (malformed input structure).
// Always returns nullptr.
std::nullptr_t value_error(const char* message);
std::nullptr_t value_error(const std::string& message);

// Clears the pending exception when it is an ordinary error (an Exception) and says so.
// An interrupt or exit request (KeyboardInterrupt, SystemExit: BaseException only)
// stays pending and the caller gives up, so Ctrl-C during parsing is never turned
// into a parse error.
bool discard_ordinary_error();

}  // namespace sferix::python
