#pragma once

#include "gil.hpp"
#include "python_api.hpp"

namespace sferix::python {

// A process-wide Python object (an exception type, a class) created at most once, on
// first use, and kept for the life of the process. Constant-initialised.
class LazyObject {
public:
    constexpr LazyObject() noexcept = default;

    // The object, borrowed. On the first successful call `create()` builds it and returns
    // a new reference, which this holder keeps; if `create()` returns nullptr (with a
    // Python exception pending), so does this call, and the next call tries again.
    // REQUIRES: the calling thread holds the GIL.
    template <typename Create>
    PyObject* get(Create&& create) {
        const bool ready = once_.call([&] {
            object_ = create();
            return object_ != nullptr;
        });
        return ready ? object_ : nullptr;
    }

private:
    GilSafeOnce once_;
    PyObject* object_ = nullptr;  // owned for the life of the process once set
};

}  // namespace sferix::python
