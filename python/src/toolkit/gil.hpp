#pragma once

// The interpreter lock: giving it up around pure C++ work (also long work that Ctrl-C
// can stop), and process-wide objects made once under it.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "py_ref.hpp"
#include "python_api.hpp"

#include "support/chunked_run.hpp"

namespace sferix::python {

// Releases the GIL for the lifetime of the guard (pure C++ work that touches no Python
// object) and re-acquires it on destruction, also when that work throws.
// REQUIRES: the calling thread holds the GIL.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;
    ~ReleasedGil() { PyEval_RestoreThread(state_); }

    // Runs `body` with the GIL held again and gives it up once more afterwards, also
    // when `body` throws; returns what `body` returns. For a long run without the GIL
    // that has to look at the interpreter now and then (signals).
    template <typename Body>
    decltype(auto) while_holding(Body&& body) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        return std::forward<Body>(body)();
    }

private:
    PyThreadState* state_;
};

// Long C++ work without the GIL that Ctrl-C can stop: the calling thread runs it as a
// stoppable run (support::run_stoppable) whose polls take the GIL back for a moment to
// run the signal handlers. A handler that raises (KeyboardInterrupt) stops the run at
// its next check, on every thread, and the work made so far is dropped.
//
// Often enough that Ctrl-C answers within a fifth of a second with room to spare for
// the run's unwinding, rarely enough that taking the GIL back costs nothing measurable.
inline constexpr std::chrono::milliseconds POLL_INTERVAL{25};

// Runs body() with the GIL released; false with the handler's exception pending when
// a signal handler raised and the run stopped. REQUIRES: the GIL is held.
template <typename Body>
[[nodiscard]] bool run_interruptibly(Body&& body) {
    ReleasedGil released;
    const std::function<bool()> keep_going = [&released] {
        return released.while_holding([] { return PyErr_CheckSignals() == 0; });
    };
    const std::function<void()> run = [&body] { body(); };
    return support::run_stoppable(POLL_INTERVAL, keep_going, run) == support::RunOutcome::Finished;
}

// One-time initialisation of a process-wide object that needs the interpreter lock
// (GIL) to be built. A thread that has to wait for another thread's initialisation
// waits WITHOUT the GIL: the initialising thread may need the GIL again before it
// finishes (any Python allocation can run a garbage collection that switches
// threads), and a waiter blocking on the mutex while holding the GIL would deadlock.
//
// Lock order is always "mutex, then GIL": a thread gives up the GIL before it blocks on
// the mutex and takes the GIL back only once it holds the mutex, so no thread ever
// blocks on the mutex while holding the GIL.
//
// Constant-initialised, so it can be a namespace-scope static without ordering issues.
class GilSafeOnce {
public:
    constexpr GilSafeOnce() noexcept = default;
    GilSafeOnce(const GilSafeOnce&) = delete;
    GilSafeOnce& operator=(const GilSafeOnce&) = delete;

    // Runs `init()` (returning true on success) unless an earlier call succeeded.
    // Returns true once initialisation has succeeded. A false result from `init` (with
    // a Python exception pending) or an exception thrown by it leaves the object
    // uninitialised, so a later call tries again. `init` runs with the GIL held and
    // must not call this same object. REQUIRES: the calling thread holds the GIL.
    template <typename Init>
    bool call(Init&& init) {
        if (done_.load(std::memory_order_acquire)) {
            return true;
        }
        std::unique_lock lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock()) {
            // The guard takes the GIL back also when locking throws.
            const ReleasedGil released;
            lock.lock();
        }
        if (done_.load(std::memory_order_relaxed)) {
            return true;
        }
        if (!std::forward<Init>(init)()) {
            return false;
        }
        done_.store(true, std::memory_order_release);
        return true;
    }

private:
    std::atomic<bool> done_{false};
    std::mutex mutex_;
};

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

// object.name, a new reference; empty with an exception pending. REQUIRES: the GIL is held.
inline PyRef attribute(PyObject* object, InternedString& name) {
    PyObject* key = name.get();  // borrowed, process-wide
    return key == nullptr ? PyRef() : PyRef::steal(PyObject_GetAttr(object, key));
}

// The module the program imported as `name` (sys.modules), a new reference; empty when
// it has not imported it (only such a program can pass its objects), nothing with an
// exception pending. Never imports. REQUIRES: the GIL is held.
inline std::optional<PyRef> imported_module(InternedString& name) {
    PyObject* key = name.get();  // borrowed, process-wide
    if (key == nullptr) {
        return std::nullopt;
    }
    PyRef module = PyRef::steal(PyImport_GetModule(key));
    if (!module && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return module;
}

}  // namespace sferix::python
