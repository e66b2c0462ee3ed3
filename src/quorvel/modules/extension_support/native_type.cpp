#include "native_type.hpp"

#include "call.hpp"
#include "shared_state.hpp"

namespace quorvel {
namespace {

// The constructor function of each native type made by this module, kept for the process.
struct Constructor {
    PyTypeObject* type;
    PyObject* function;
};

constexpr size_t kMaxNativeTypes = 8;
Constructor constructors[kMaxNativeTypes];
// Where each constructor comes from: its module, as a module-level function named after its class.
ClassInfo constructor_infos[kMaxNativeTypes];
size_t constructor_count = 0;

}  // namespace

PyObject* new_by_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    for (size_t i = 0; i < constructor_count; ++i)
        if (constructors[i].type == type) return PyObject_Call(constructors[i].function, args, kwargs);
    PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
    return nullptr;
}

Ref make_native_type(const ClassInfo& info, PyType_Spec& spec, const MethodEntry& constructor,
                     std::span<const MethodEntry> methods) {
    if (constructor_count == kMaxNativeTypes) raise(PyExc_SystemError, "too many native types in one module");
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    ClassInfo& constructor_info = constructor_infos[constructor_count];
    constructor_info = {info.module_name, nullptr, info.source_file};
    Ref function = make_function(constructor_info, constructor);
    setattr(type.get(), intern("__signature__").get(), getattr(function.get(), intern("__signature__").get()).get());
    for (const MethodEntry& entry : methods)
        setattr(type.get(), intern(entry.name).get(), make_function(info, entry).get());
    constructors[constructor_count++] = {reinterpret_cast<PyTypeObject*>(type.get()), function.release()};
    Py_INCREF(type.get());  // held by the table for the process
    return type;
}

}  // namespace quorvel
