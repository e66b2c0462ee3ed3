// Owning references and the one C++ exception type that means "a Python error is set".
#pragma once

#include "compat.hpp"

#include <exception>
#include <new>
#include <utility>

namespace quorvel {

// Thrown by helpers after a Python exception has been set; caught only at the boundaries where
// control returns to the interpreter (a method call, module exec, a thread loop's handler).
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

// Raises `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

// An owned reference. Decrefs on destruction, except while the interpreter is finalizing:
// a daemon thread unwound during shutdown does not hold the GIL, so it must leave counts alone.
// A decref can run a dealloc that ends a daemon thread by a forced unwind, so the destructor
// lets exceptions through, and so do the implicit destructors of our types that hold a Ref. The
// destructors of standard containers (vector, optional, pair, ...) are noexcept: a Ref is never
// held in one (std::initializer_list, which destroys nothing, is the exception). The
// source-rules test checks both rules.
class Ref {
public:
    Ref() = default;
    Ref(const Ref& other) : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) {
        std::swap(obj_, other.obj_);
        return *this;
    }
    // A shutdown unwind may pass through a dealloc this runs: the destructor must let it through.
    ~Ref() noexcept(false) { drop(obj_); }

    // Takes over a new reference; throws if it is NULL (an error is then set).
    static Ref steal(PyObject* obj) {
        if (obj == nullptr) throw_error_set();
        return Ref(obj);
    }
    // Takes over a new reference that may be NULL without an error (a lookup that missed).
    static Ref steal_or_null(PyObject* obj) { return Ref(obj); }
    // Makes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    static void drop(PyObject* obj) {
        if (obj != nullptr && !interpreter_finalizing()) Py_DECREF(obj);
    }
    PyObject* obj_ = nullptr;
};

// Sets the Python error a C++ failure stands for: MemoryError when an allocation failed,
// SystemError with the failure's text for any other (a library error).
inline void set_error_for(const std::exception& failure) {
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr)
        PyErr_NoMemory();
    else
        PyErr_SetString(PyExc_SystemError, failure.what());
}

// Runs `body` where control returns to the interpreter: true on success; false with the Python
// error set when it threw, C++ failures turned into Python ones.
template <class Body>
bool run_at_boundary(Body&& body) {
    try {
        body();
        return true;
    } catch (const PyErrorSet&) {
    } catch (const std::exception& failure) {
        set_error_for(failure);
    }
    return false;
}

// Returns `result` (a new reference) or throws when it is NULL.
inline PyObject* check(PyObject* result) {
    if (result == nullptr) throw_error_set();
    return result;
}

// Throws when a C API status is -1.
inline int check_status(int status) {
    if (status < 0) throw_error_set();
    return status;
}

}  // namespace quorvel
