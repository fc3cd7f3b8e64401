#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "python_api.hpp"

namespace sferix::python {

// A str's text as UTF-8 bytes, NULs kept and lone surrogates passed through, so that any
// name (a keyword, a type's __qualname__) can be quoted back into a message unchanged.
// Empty with an exception pending if `text` is not a str.
std::optional<std::string> utf8_text(PyObject* text /* borrowed */);

// Sets type(message) as the pending exception, the message decoded as utf8_text wrote
// it. Always returns nullptr.
std::nullptr_t set_error_text(PyObject* type /* borrowed */, const std::string& utf8);

}  // namespace sferix::python
