// Python's error-handling statements for C++ bodies that signal errors with PyErrorSet:
// `except Exception as e`, `finally`, and "take the pending error, run cleanup, set it again".
#pragma once

#include "ref.hpp"

#include <string>
#include <utility>

namespace quorvel {

// A Python error taken off the error indicator and owned until it is set again or dropped.
class SavedError {
public:
    SavedError() = default;  // holds nothing
    // Takes the pending error, normalized (holds nothing when none is set).
    static SavedError take();

    explicit operator bool() const { return static_cast<bool>(value_); }
    // The exception instance (borrowed), or nullptr.
    PyObject* value() const { return value_.get(); }
    // Sets the held error again, giving it up.
    void restore();
    // `raise`: sets the held error again and throws PyErrorSet.
    [[noreturn]] void raise() {
        restore();
        throw_error_set();
    }

    // Makes the held error the context of the pending one (its __context__), giving it up.
    void become_context();

private:
    Ref value_;
#if PY_VERSION_HEX < 0x030C0000
    Ref type_, traceback_;  // before 3.12 the indicator holds the three parts apart
#endif
};

// The exception of an `except` clause: taken from the error indicator and made the handled
// exception (what sys.exc_info() and traceback.format_exc() see) until the scope ends.
class HandledException {
public:
    HandledException();
    ~HandledException() noexcept(false);
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

    PyObject* value() const { return error_.value(); }
    bool matches(PyObject* type) const;
    // str(e)
    Ref text() const;
    // `raise`: sets this exception again, with its traceback, and throws PyErrorSet.
    [[noreturn]] void reraise() { error_.raise(); }

private:
    SavedError error_;
    PyObject* saved_type_ = nullptr;  // the handled exception before this one, put back at the end
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

// True when the pending error is an Exception (not an exit request or an interrupt).
bool pending_error_is_exception();

// Runs `body`: true when it completed; false when it raised an Exception, which is left pending.
// Any other error (an exit request, an interrupt) goes on to the caller.
template <class Body>
bool attempt(Body&& body) {
    try {
        body();
        return true;
    } catch (const PyErrorSet&) {
        if (!pending_error_is_exception()) throw;
    }
    return false;
}

// Adds an entry "File <source_file>, line <line>, in <function>" to the pending error's traceback.
void add_traceback(const char* function, const char* source_file, int line);

// A traceback entry added to an exception where it is caught, so that its report shows the place.
struct CatchSite {
    std::string function;
    const char* source_file;
    int line;
};

// try: body()
// except Exception as e: handler(e)        (handler takes HandledException&)
// With a CatchSite, the caught exception first gets that traceback entry.
template <class Body, class Handler>
void catch_exception(Body&& body, Handler&& handler, const CatchSite* site = nullptr) {
    if (attempt(std::forward<Body>(body))) return;
    if (site != nullptr) add_traceback(site->function.c_str(), site->source_file, site->line);
    HandledException error;
    handler(error);
}

namespace detail {

// The `finally` of a body that left with the pending Python error: the cleanup runs, then the
// error is set again; an error of the cleanup goes on instead, with the body's as its context.
template <class Cleanup>
[[noreturn]] void cleanup_after_error(Cleanup& cleanup) {
    SavedError error = SavedError::take();
    try {
        cleanup();
    } catch (const PyErrorSet&) {
        error.become_context();
        throw;
    }
    error.raise();
}

}  // namespace detail

// try: body() finally: cleanup(), whichever way the body ends. An error from the body is set
// again after the cleanup; an error from the cleanup goes on in its place, with the body's error
// as its context, as Python's `finally` chains them. A C++ failure leaving the body (out of
// memory, a library error) is first made the Python error the boundary would make of it. Any
// other exception (the forced unwind of a daemon thread at exit) goes on unchanged after the
// cleanup, whose own error is then written as unraisable; the cleanup is skipped only once the
// interpreter is finalizing, when such a thread may not touch Python objects.
template <class Body, class Cleanup>
void run_finally(Body&& body, Cleanup&& cleanup) {
    try {
        body();
    } catch (const PyErrorSet&) {
        detail::cleanup_after_error(cleanup);
    } catch (const std::exception& failure) {
        set_error_for(failure);
        detail::cleanup_after_error(cleanup);
    } catch (...) {
        if (!interpreter_finalizing()) {
            try {
                cleanup();
            } catch (const PyErrorSet&) {
                PyErr_WriteUnraisable(nullptr);
            }
        }
        throw;
    }
    cleanup();
}

// Runs one step of a failure report; if the step itself raises an Exception (a console that
// rejects the text, a logger that fails), that is written as unraisable and the report goes on.
template <class Step>
void guarded(Step&& step) {
    if (!attempt(std::forward<Step>(step))) PyErr_WriteUnraisable(nullptr);
}

}  // namespace quorvel
