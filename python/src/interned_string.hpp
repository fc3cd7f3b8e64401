#pragma once

#include "lazy_object.hpp"
#include "python_api.hpp"

namespace sferix::python {

// A Python str made once per process from constant ASCII text and interned: the dict
// keys and type names read or written for every element of a large input, which would
// otherwise be created (and hashed) again for each lookup. Constant-initialised, so it
// can be a namespace-scope static.
class InternedString {
public:
    constexpr explicit InternedString(const char* text) noexcept : text_(text) {}
    InternedString(const InternedString&) = delete;
    InternedString& operator=(const InternedString&) = delete;

    // The text it was made from.
    [[nodiscard]] const char* text() const noexcept { return text_; }

    // The str, borrowed (alive for the life of the process); nullptr with an exception
    // pending if it could not be made. REQUIRES: the GIL is held.
    [[nodiscard]] PyObject* get() {
        return object_.get([this] { return PyUnicode_InternFromString(text_); });
    }

private:
    const char* text_;
    LazyObject object_;
};

}  // namespace sferix::python
