#include "method.hpp"

#include "call.hpp"
#include "errors.hpp"
#include "shared_state.hpp"

#include <string>
#include <string_view>

namespace quorvel {
namespace {

constexpr const char* kSubclassRefused =
    "Subclasses of builtin types are refused here; pass an instance of the type itself.";

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodEntry* entry;
    const ClassInfo* info;
    PyObject* name;         // str
    PyObject* qualname;     // str
    PyObject* module;       // str
    PyObject* doc;          // str or None
    PyObject* defaults;     // tuple, or None when no parameter has a default
    PyObject* annotations;  // dict of str
    PyObject* slot_names;   // tuple of interned str: "self" first for a method, then the parameters
    PyObject* signature;    // inspect.Signature, built on first request
    // For a call that gives every slot by position, the arguments are bound as they come when
    // each is of the exact type its slot takes (nullptr: any object, float: needs no
    // conversion), or None where the slot's default is None.
    Py_ssize_t nslots;
    PyTypeObject* taken_as_is[kMaxSlots];
    bool none_taken[kMaxSlots];
};

MethodObject* as_method(PyObject* obj) { return reinterpret_cast<MethodObject*>(obj); }

// The slots before the parameters: self's, for a method.
Py_ssize_t self_slots(const MethodEntry& entry) { return entry.takes_self ? 1 : 0; }

[[noreturn]] void raise_count_error(const MethodEntry& entry, Py_ssize_t given, bool too_many) {
    Py_ssize_t most = self_slots(entry) + static_cast<Py_ssize_t>(entry.params.size());
    Py_ssize_t least = most - entry.ndefaults;
    bool exact = least == most && entry.varargs == nullptr;
    const char* bound = exact ? "exactly" : too_many ? "at most" : "at least";
    Py_ssize_t expected = too_many || exact ? most : least;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 entry.name, bound, expected, expected == 1 ? "" : "s", given);
    throw_error_set();
}

PyTypeObject* exact_type_of(ArgType type) {
    switch (type) {
        case ArgType::Str: return &PyUnicode_Type;
        case ArgType::Int: return &PyLong_Type;
        case ArgType::Dict: return &PyDict_Type;
        case ArgType::List: return &PyList_Type;
        case ArgType::FloatOrNone: return &PyFloat_Type;
        case ArgType::Object:
        case ArgType::Float:
        case ArgType::VarArgs: break;
    }
    return nullptr;
}

// The exact type an argument of `type` is taken in as it comes, nullptr for any object: a float
// parameter takes a float without converting it.
PyTypeObject* as_given_type(ArgType type) { return type == ArgType::Float ? &PyFloat_Type : exact_type_of(type); }

void check_argument_type(const Param& param, ArgType type, PyObject* value, bool none_allowed) {
    PyTypeObject* expected = exact_type_of(type);
    if (expected == nullptr || Py_TYPE(value) == expected) return;
    if (value == Py_None && none_allowed) return;
    bool subclass = PyObject_TypeCheck(value, expected);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s",
                 param.name, expected->tp_name, Py_TYPE(value)->tp_name, subclass ? ". " : "",
                 subclass ? kSubclassRefused : "");
    throw_error_set();
}

// The call's arguments laid out by parameter, a method's self first, as a compiled function binds them:
// positionals, then keywords in call order, then defaults, then the type tests.
class BoundArguments {
public:
    BoundArguments(MethodObject* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        const MethodEntry& entry = *method->entry;
        Py_ssize_t first = self_slots(entry);
        Py_ssize_t nslots = first + static_cast<Py_ssize_t>(entry.params.size());
        Py_ssize_t nrequired = nslots - entry.ndefaults;
        if (nargs > nslots && entry.varargs == nullptr) raise_count_error(entry, nargs, true);
        for (Py_ssize_t i = 0; i < nslots; ++i) slots_[i] = i < nargs ? args[i] : nullptr;
        if (entry.varargs != nullptr) {
            Py_ssize_t nextra = nargs > nslots ? nargs - nslots : 0;
            rest_ = Ref::steal(PyTuple_New(nextra));
            for (Py_ssize_t i = 0; i < nextra; ++i)
                PyTuple_SET_ITEM(rest_.get(), i, Py_NewRef(args[nslots + i]));
            slots_[nslots] = rest_.get();
        }

        Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t slot = find_slot(method, entry, keyword);
            if (slots_[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             entry.name, keyword);
                throw_error_set();
            }
            slots_[slot] = args[nargs + k];
        }
        for (Py_ssize_t i = nrequired; i < nslots; ++i)
            if (slots_[i] == nullptr) slots_[i] = default_at(method, i - nrequired);
        for (Py_ssize_t i = 0; i < nrequired; ++i)
            if (slots_[i] == nullptr) raise_count_error(entry, i, false);

        for (size_t p = 0; p < entry.params.size(); ++p)
            if (entry.types[p] == ArgType::Float) convert_to_float(static_cast<Py_ssize_t>(p) + first);
        for (size_t p = 0; p < entry.params.size(); ++p) {
            Py_ssize_t slot = static_cast<Py_ssize_t>(p) + first;
            bool default_is_none =
                slot >= nrequired && default_at(method, slot - nrequired) == Py_None;
            check_argument_type(entry.params[p], entry.types[p], slots_[slot], default_is_none);
        }
    }

    PyObject* const* values() const { return slots_; }

private:
    static Py_ssize_t find_slot(MethodObject* method, const MethodEntry& entry, PyObject* keyword) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", entry.name);
            throw_error_set();
        }
        Py_ssize_t nslots = PyTuple_GET_SIZE(method->slot_names);
        for (Py_ssize_t i = 0; i < nslots; ++i)
            if (PyTuple_GET_ITEM(method->slot_names, i) == keyword) return i;
        for (Py_ssize_t i = 0; i < nslots; ++i) {
            int equal = PyUnicode_Compare(PyTuple_GET_ITEM(method->slot_names, i), keyword);
            if (equal == -1 && PyErr_Occurred()) throw_error_set();
            if (equal == 0) return i;
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", entry.name, keyword);
        throw_error_set();
    }

    static PyObject* default_at(MethodObject* method, Py_ssize_t index) {
        return method->defaults == Py_None ? Py_None : PyTuple_GET_ITEM(method->defaults, index);
    }

    void convert_to_float(Py_ssize_t slot) {
        if (PyFloat_CheckExact(slots_[slot])) return;
        double value = PyFloat_AsDouble(slots_[slot]);
        if (value == -1.0 && PyErr_Occurred()) throw_error_set();
        Ref& converted = converted_[nconverted_++];  // the rows' float parameters are counted at compile time
        converted = new_float(value);
        slots_[slot] = converted.get();
    }

    PyObject* slots_[kMaxSlots + 1];  // one more for the *args tuple
    Ref converted_[kMaxConverted];
    size_t nconverted_ = 0;
    Ref rest_;
};

// "module.Class.name" for a method, "module.name" for a function.
std::string full_name(const ClassInfo& info, const char* name) {
    std::string owner = info.class_name != nullptr ? std::string(info.module_name) + "." + info.class_name
                                                   : std::string(info.module_name);
    return owner + "." + name;
}

// Whether the call's arguments are its slots as they come: every slot given by position, each
// argument as its slot takes it; binding them would then change nothing.
bool bound_as_given(const MethodObject* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr || nargs != method->nslots || method->entry->varargs != nullptr) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTypeObject* type = method->taken_as_is[i];
        if (type != nullptr && Py_TYPE(args[i]) != type && !(args[i] == Py_None && method->none_taken[i]))
            return false;
    }
    return true;
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    MethodObject* method = as_method(callable);
    const MethodEntry& entry = *method->entry;
    Ref result;
    bool ok = run_at_boundary([&] {
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (bound_as_given(method, args, nargs, kwnames)) {
            result = entry.impl(args);
        } else {
            BoundArguments bound(method, args, nargs, kwnames);
            result = entry.impl(bound.values());
        }
        if (entry.result == ResultType::Str) check_result_type(result.get(), &PyUnicode_Type);
        if (entry.result == ResultType::Dict) check_result_type(result.get(), &PyDict_Type);
    });
    if (ok) return result.release();
    add_traceback(full_name(*method->info, entry.name).c_str(), method->info->source_file, entry.line);
    return nullptr;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

void method_dealloc(PyObject* self) {
    MethodObject* method = as_method(self);
    Py_XDECREF(method->name);
    Py_XDECREF(method->qualname);
    Py_XDECREF(method->module);
    Py_XDECREF(method->doc);
    Py_XDECREF(method->defaults);
    Py_XDECREF(method->annotations);
    Py_XDECREF(method->slot_names);
    Py_XDECREF(method->signature);
    Py_TYPE(self)->tp_free(self);
}

Ref build_signature(MethodObject* method) {
    const MethodEntry& entry = *method->entry;
    const SharedNames& n = shared_names();
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter_type = getattr(inspect.get(), n.Parameter);
    Ref signature_type = getattr(inspect.get(), n.Signature);
    Ref kind = getattr(parameter_type.get(), n.POSITIONAL_OR_KEYWORD);
    Py_ssize_t first = self_slots(entry);
    Py_ssize_t nslots = PyTuple_GET_SIZE(method->slot_names);
    Py_ssize_t nrequired = nslots - entry.ndefaults;
    Ref parameters = new_list();
    for (Py_ssize_t i = 0; i < nslots; ++i) {
        Ref kwargs = new_dict();
        if (i >= nrequired)
            setitem(kwargs.get(), n.default_key,
                    method->defaults == Py_None ? Py_None
                                                : PyTuple_GET_ITEM(method->defaults, i - nrequired));
        if (i >= first && entry.params[i - first].annotation != nullptr)
            setitem(kwargs.get(), n.annotation, new_str(entry.params[i - first].annotation).get());
        Ref args = tuple(PyTuple_GET_ITEM(method->slot_names, i), kind);
        Ref parameter = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        check_status(PyList_Append(parameters.get(), parameter.get()));
    }
    if (entry.varargs != nullptr) {
        Ref var_kind = getattr(parameter_type.get(), n.VAR_POSITIONAL);
        Ref parameter = call(parameter_type.get(), intern(entry.varargs), var_kind);
        check_status(PyList_Append(parameters.get(), parameter.get()));
    }
    Ref kwargs = new_dict();
    if (entry.return_annotation != nullptr)
        setitem(kwargs.get(), n.return_annotation, new_str(entry.return_annotation).get());
    Ref args = tuple(parameters);
    return Ref::steal(PyObject_Call(signature_type.get(), args.get(), kwargs.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    MethodObject* method = as_method(self);
    if (method->signature == nullptr &&
        !run_at_boundary([&] { method->signature = build_signature(method).release(); }))
        return nullptr;
    return Py_NewRef(method->signature);
}

template <PyObject* MethodObject::*field>
PyObject* get_field(PyObject* self, void*) {
    return Py_NewRef(as_method(self)->*field);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef method_getset[] = {
    {"__name__", get_field<&MethodObject::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&MethodObject::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&MethodObject::module>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&MethodObject::doc>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&MethodObject::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&MethodObject::annotations>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// One type per extension module, made ready when its first class is created.
PyTypeObject method_type = [] {
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
    type.tp_name = "compiled_function";
    type.tp_basicsize = sizeof(MethodObject);
    type.tp_dealloc = method_dealloc;
    type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    type.tp_repr = method_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_getset = method_getset;
    type.tp_descr_get = method_descr_get;
    return type;
}();

Ref annotations_of(const MethodEntry& entry) {
    Ref annotations = new_dict();
    for (const Param& param : entry.params)
        if (param.annotation != nullptr)
            setitem(annotations.get(), intern(param.name).get(), new_str(param.annotation).get());
    if (entry.return_annotation != nullptr)
        setitem(annotations.get(), shared_names().return_key, new_str(entry.return_annotation).get());
    return annotations;
}

Ref slot_names_of(const MethodEntry& entry) {
    Py_ssize_t first = self_slots(entry);
    Ref names = Ref::steal(PyTuple_New(first + static_cast<Py_ssize_t>(entry.params.size())));
    if (entry.takes_self) PyTuple_SET_ITEM(names.get(), 0, Py_NewRef(shared_names().self));
    for (size_t i = 0; i < entry.params.size(); ++i)
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i) + first, intern(entry.params[i].name).release());
    return names;
}

Ref defaults_of(const MethodEntry& entry) {
    if (entry.ndefaults == 0) return none();
    if (entry.defaults != nullptr) {
        Ref defaults = entry.defaults();
        if (!PyTuple_CheckExact(defaults.get()) || PyTuple_GET_SIZE(defaults.get()) != entry.ndefaults)
            raise(PyExc_SystemError, "defaults factory returned a tuple of the wrong size");
        return defaults;
    }
    Ref defaults = Ref::steal(PyTuple_New(entry.ndefaults));
    for (Py_ssize_t i = 0; i < entry.ndefaults; ++i) PyTuple_SET_ITEM(defaults.get(), i, Py_NewRef(Py_None));
    return defaults;
}

Ref new_method(const ClassInfo& info, const MethodEntry& entry) {
    Ref defaults = defaults_of(entry);
    Ref method = Ref::steal(PyType_GenericAlloc(&method_type, 0));
    MethodObject* m = as_method(method.get());
    m->vectorcall = method_vectorcall;
    m->entry = &entry;
    m->info = &info;
    m->name = new_str(entry.name).release();
    m->qualname = info.class_name != nullptr
                      ? Ref::steal(PyUnicode_FromFormat("%s.%s", info.class_name, entry.name)).release()
                      : new_str(entry.name).release();
    m->module = new_str(info.module_name).release();
    m->doc = entry.doc != nullptr ? new_str(entry.doc).release() : Py_NewRef(Py_None);
    m->defaults = defaults.release();
    m->annotations = annotations_of(entry).release();
    m->slot_names = slot_names_of(entry).release();
    Py_ssize_t first = self_slots(entry);
    m->nslots = first + static_cast<Py_ssize_t>(entry.params.size());
    Py_ssize_t nrequired = m->nslots - entry.ndefaults;
    for (Py_ssize_t i = 0; i < m->nslots; ++i) {
        ArgType type = i < first ? ArgType::Object : entry.types[static_cast<size_t>(i - first)];
        m->taken_as_is[i] = as_given_type(type);
        // A float parameter converts None (and refuses it) even where None is its default.
        m->none_taken[i] = i >= nrequired && type != ArgType::Float &&
                           PyTuple_GET_ITEM(m->defaults, i - nrequired) == Py_None;
    }
    return method;
}

// The name's key in the class namespace: a class-private name "__x" becomes "_Class__x", as the
// compiler mangles it.
Ref class_key(const ClassInfo& info, const char* name) {
    std::string_view text = name;
    if (!text.starts_with("__") || text.ends_with("__")) return new_str(name);
    const char* owner = info.class_name;
    while (*owner == '_') ++owner;
    return Ref::steal(PyUnicode_FromFormat("_%s%s", owner, name));
}

}  // namespace

void check_result_type(PyObject* result, PyTypeObject* type) {
    if (result == Py_None || Py_TYPE(result) == type) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(result)->tp_name);
    throw_error_set();
}

Ref make_class(const ClassInfo& info, std::span<const MethodEntry> methods) {
    if (method_type.tp_dict == nullptr) check_status(PyType_Ready(&method_type));
    Ref ns = new_dict();
    setitem(ns.get(), shared_names().module_key, new_str(info.module_name).get());
    setitem(ns.get(), shared_names().qualname_key, new_str(info.class_name).get());
    for (const MethodEntry& entry : methods)
        setitem(ns.get(), class_key(info, entry.name).get(), new_method(info, entry).get());
    Ref bases = Ref::steal(PyTuple_New(0));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), new_str(info.class_name), bases, ns);
}

Ref make_function(const ClassInfo& info, const MethodEntry& entry) {
    if (method_type.tp_dict == nullptr) check_status(PyType_Ready(&method_type));
    return new_method(info, entry);
}

}  // namespace quorvel
