#include "errors.hpp"

namespace quorvel {

SavedError SavedError::take() {
    SavedError error;
#if PY_VERSION_HEX >= 0x030C0000
    error.value_ = Ref::steal_or_null(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    error.type_ = Ref::steal_or_null(type);
    error.value_ = Ref::steal_or_null(value);
    error.traceback_ = Ref::steal_or_null(traceback);
#endif
    return error;
}

void SavedError::restore() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

void SavedError::become_context() {
    SavedError pending = take();
    PyObject* context = value_.get();
    // An exception is never its own context (a cleanup that raises the body's error again).
    if (pending.value() != nullptr && context != nullptr && pending.value() != context)
        PyException_SetContext(pending.value(), value_.release());  // steals the reference
    pending.restore();
}

HandledException::HandledException() : error_(SavedError::take()) {
    PyObject* value = error_.value();
    PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
    PyErr_SetExcInfo(value != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))) : nullptr,
                     Py_XNewRef(value), value != nullptr ? PyException_GetTraceback(value) : nullptr);
}

HandledException::~HandledException() noexcept(false) {
    if (interpreter_finalizing()) return;
    PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_);
}

bool HandledException::matches(PyObject* type) const {
    return value() != nullptr && PyErr_GivenExceptionMatches(value(), type);
}

Ref HandledException::text() const { return Ref::steal(PyObject_Str(value() != nullptr ? value() : Py_None)); }

bool pending_error_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

void add_traceback(const char* function, const char* source_file, int line) {
    _PyTraceback_Add(function, source_file, line);
}

}  // namespace quorvel
