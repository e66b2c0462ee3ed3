// One-line calls into Python through vectorcall. Arguments are borrowed PyObject* or Ref;
// every helper returns a new reference in a Ref, or throws PyErrorSet.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <initializer_list>

namespace quorvel {

inline PyObject* as_ptr(PyObject* obj) { return obj; }
inline PyObject* as_ptr(const Ref& obj) { return obj.get(); }

// callable(*args)
template <class... Args>
Ref call(PyObject* callable, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, trailing args))): the last len(kwnames) arguments
// are the keyword values.
template <class... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, const Args&... args) {
    PyObject* argv[] = {nullptr, as_ptr(args)...};
    size_t nargs = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name as a method call finds it: the function and `obj` when the attribute is a plain
// method of obj's type (no bound method is made), else the attribute itself and no self.
struct Method {
    Ref function;
    Ref self;
};

inline Method method(PyObject* obj, PyObject* name) {
    PyObject* found = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &found);
    if (found == nullptr) throw_error_set();
    return {Ref::steal(found), unbound != 0 ? Ref::borrow(obj) : Ref()};
}

// An item of call_in_order: an object, or for the callee a Method.
struct CallItem {
    CallItem(Ref object) : object(std::move(object)) {}
    CallItem(Method found) : object(std::move(found.function)), self(std::move(found.self)) {}
    Ref object;
    Ref self;
};

// items[0](*items[1:]), the last len(kwnames) items passed by keyword. The items of a braced
// list are evaluated left to right, so `call_in_order({method(obj, name), arg(), ...})` looks the
// callee up and evaluates the arguments in the order Python source does.
inline Ref call_in_order(std::initializer_list<CallItem> items, PyObject* kwnames = nullptr) {
    constexpr size_t most = 16;
    PyObject* argv[most + 2] = {nullptr};
    size_t count = 0;  // the callee and its positional and keyword arguments, self included
    for (const CallItem& item : items) {
        if (count == most) raise(PyExc_SystemError, "too many arguments for call_in_order");
        argv[1 + count++] = item.object.get();
        if (count == 1 && item.self) argv[1 + count++] = item.self.get();
    }
    size_t nargs = count - 1 - (kwnames == nullptr ? 0 : static_cast<size_t>(PyTuple_GET_SIZE(kwnames)));
    return Ref::steal(PyObject_Vectorcall(argv[1], argv + 2, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args)
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, const Args&... args) {
    PyObject* argv[] = {obj, as_ptr(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name
inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check_status(PyObject_SetAttr(obj, name, value));
}

// obj[key], with a fast path for exact dicts.
inline Ref getitem(PyObject* obj, PyObject* key) {
    if (PyDict_CheckExact(obj)) {
        PyObject* value = PyDict_GetItemWithError(obj, key);
        if (value != nullptr) return Ref::borrow(value);
        if (PyErr_Occurred()) throw_error_set();
        // A missing key raises KeyError(key), as subscription does.
        PyObject* key_tuple = PyTuple_Pack(1, key);
        if (key_tuple != nullptr) {
            PyErr_SetObject(PyExc_KeyError, key_tuple);
            Py_DECREF(key_tuple);
        }
        throw_error_set();
    }
    return Ref::steal(PyObject_GetItem(obj, key));
}

inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    if (PyDict_CheckExact(obj))
        check_status(PyDict_SetItem(obj, key, value));
    else
        check_status(PyObject_SetItem(obj, key, value));
}

inline bool is_true(PyObject* obj) { return check_status(PyObject_IsTrue(obj)) != 0; }

// a == b for two exact, ready str objects: same kind, same length, same code units.
inline bool str_equals(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// a == b, as the == operator and a truth test.
inline bool equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b) && str_ready(a) && str_ready(b))
        return str_equals(a, b);
    Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return is_true(result.get());
}

// a <op> b, as the comparison operator and a truth test (op is Py_LT, Py_EQ, ...).
inline bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
    return is_true(result.get());
}

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
// A dict made for `size` entries, as a dict display of that many entries is made.
inline Ref new_dict(Py_ssize_t size) { return Ref::steal(_PyDict_NewPresized(size)); }
inline Ref new_list() { return Ref::steal(PyList_New(0)); }
inline Ref new_str(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }
inline Ref new_float(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref none() { return Ref::borrow(Py_None); }

// A tuple that owns new references to the given objects.
template <class... Args>
Ref tuple(const Args&... args) {
    return Ref::steal(PyTuple_Pack(sizeof...(Args), as_ptr(args)...));
}

}  // namespace quorvel
