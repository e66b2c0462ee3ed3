// Small shims over the differences between the interpreter versions we build for.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* obj) {
    Py_INCREF(obj);
    return obj;
}
static inline PyObject* Py_XNewRef(PyObject* obj) {
    Py_XINCREF(obj);
    return obj;
}
#define PySet_CheckExact(obj) Py_IS_TYPE(obj, &PySet_Type)
#endif

#if PY_VERSION_HEX >= 0x030D0000
// Still exported by the interpreter, but no longer declared in the public headers.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char*, const char*, int);
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject*, PyObject*, PyObject**);
#endif

namespace quorvel {

// True once the interpreter has begun shutting down; daemon threads may then be frozen or
// unwound at any point where they would take the GIL back.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Whether a str's code units can be read directly (always, from 3.12 on).
inline bool str_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

}  // namespace quorvel
