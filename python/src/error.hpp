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

// Attaches `note` to the pending exception through its add_note method, looked up at
// run time: exceptions take notes from 3.11 on, and one abi3 build also serves 3.10.
// Without that method, or when attaching fails, the exception stays as it was; it
// remains pending either way. REQUIRES: an exception is pending.
void add_note(const std::string& note);

// Marks the pending exception as raised while reading the input item that gets tree
// position `position`: sets its attribute `item` to that int and adds the note
// "while reading item N" (add_note). Its type and message are left alone. Only an
// ordinary error (an Exception) is marked; an interrupt or exit request is not about
// one item. A failure to set the attribute is dropped. REQUIRES: an exception is pending.
void mark_input_item(std::size_t position);

// Clears the pending exception when it is an ordinary error (an Exception) and says so.
// An interrupt or exit request (KeyboardInterrupt, SystemExit: BaseException only)
// stays pending and the caller gives up, so Ctrl-C during parsing is never turned
// into a parse error.
bool discard_ordinary_error();

}  // namespace sferix::python
