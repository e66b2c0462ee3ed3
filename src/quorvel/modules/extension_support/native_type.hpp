// Native objects as heap types, made the way CPython's own modules make theirs: PyType_FromSpec
// with the garbage collector's support, a traverse that visits the type, a clear, and a dealloc
// that untracks, clears, frees and then drops the type. An object holds one C++ value, which
// owns its references and says how to visit and drop them; the constructor and the methods are
// binder rows (method.hpp), so that a wrong or missing argument fails with the binder's message.
#pragma once

#include "method.hpp"

#include <span>
#include <utility>

namespace quorvel {

// A native object: the object header and the C++ value it owns (nullptr once cleared, and while
// it is being made).
template <class Value>
struct NativeObject {
    PyObject_HEAD
    Value* value;
};

template <class Value>
NativeObject<Value>* as_native(PyObject* self) {
    return reinterpret_cast<NativeObject<Value>*>(self);
}

// The slots of a native type whose Value has `int visit(visitproc, void*) const` (what
// tp_traverse asks) and whose destructor drops its references.
template <class Value>
int traverse_native(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const Value* value = as_native<Value>(self)->value;
    return value != nullptr ? value->visit(visit, arg) : 0;
}

template <class Value>
int clear_native(PyObject* self) {
    delete std::exchange(as_native<Value>(self)->value, nullptr);
    return 0;
}

template <class Value>
void dealloc_native(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear_native<Value>(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The tp_new of every native type: the type's constructor row, bound by make_native_type, is
// called with the arguments.
PyObject* new_by_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// The slots every native type of `Value` has; a type's own slots (its doc, getters) follow.
#define QUORVEL_NATIVE_SLOTS(Value)                                                                 \
    {Py_tp_new, reinterpret_cast<void*>(::quorvel::new_by_constructor)},                            \
        {Py_tp_dealloc, reinterpret_cast<void*>(::quorvel::dealloc_native<Value>)},                 \
        {Py_tp_traverse, reinterpret_cast<void*>(::quorvel::traverse_native<Value>)},              \
        {Py_tp_clear, reinterpret_cast<void*>(::quorvel::clear_native<Value>)}

// The flags of a native type: not subclassable, tracked by the garbage collector.
constexpr unsigned int kNativeTypeFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;

// The type of `spec` (its slots QUORVEL_NATIVE_SLOTS and its own), made with its `constructor`,
// a function row named after the class whose implementation makes the instance (`new_native`),
// and the method rows `methods` in its namespace; its __signature__ is the constructor's.
// Returns a new reference; the type is kept for the process by its module's state.
Ref make_native_type(const ClassInfo& info, PyType_Spec& spec, const MethodEntry& constructor,
                     std::span<const MethodEntry> methods);

// A new instance of `type` owning `value` (taken over; deleted if the instance cannot be made).
template <class Value>
Ref new_native(PyTypeObject* type, Value* value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        delete value;
        throw_error_set();
    }
    as_native<Value>(self)->value = value;
    return Ref::steal(self);
}

// The value of `self` when it is an instance of `type`; TypeError naming `what` otherwise, or
// when the instance was cleared.
template <class Value>
Value& native_value(PyObject* self, PyTypeObject* type, const char* what) {
    if (Py_TYPE(self) != type || as_native<Value>(self)->value == nullptr) {
        PyErr_Format(PyExc_TypeError, "expected a %s, got %.200s", what, Py_TYPE(self)->tp_name);
        throw_error_set();
    }
    return *as_native<Value>(self)->value;
}

}  // namespace quorvel
