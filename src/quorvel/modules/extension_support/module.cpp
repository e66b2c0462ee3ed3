#include "module.hpp"

#include "call.hpp"
#include "errors.hpp"
#include "names.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvel {

void ModuleNamespace::bind(PyObject* module) {
    dict_ = check(PyModule_GetDict(module));
    if (builtins_ == nullptr) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        builtins_ = Py_NewRef(check(PyModule_GetDict(builtins.get())));
    }
}

Ref ModuleNamespace::lookup(PyObject* name) const {
    PyObject* value = PyDict_GetItemWithError(dict_, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(builtins_, name);
    if (value != nullptr) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw_error_set();
}

void ModuleNamespace::set(const char* name, PyObject* value) const {
    check_status(PyDict_SetItem(dict_, intern(name).get(), value));
}

void ModuleNamespace::import_module(const char* name, const char* as_name) const {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    set(as_name, module.get());
}

void ModuleNamespace::import_from(const char* module_name, std::initializer_list<const char*> names) const {
    Ref fromlist = Ref::steal(PyList_New(0));
    for (const char* name : names) check_status(PyList_Append(fromlist.get(), intern(name).get()));
    Ref module = Ref::steal(
        PyImport_ImportModuleLevelObject(intern(module_name).get(), dict_, nullptr, fromlist.get(), 0));
    for (const char* name : names) {
        PyObject* value = PyObject_GetAttr(module.get(), intern(name).get());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
            PyErr_Clear();
            // As the import statement words it.
            PyObject* file = PyModule_GetFilenameObject(module.get());
            if (file == nullptr) PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s' (%S)", name, module_name,
                         file != nullptr ? file : Ref::steal(PyUnicode_FromString("unknown location")).get());
            Py_XDECREF(file);
            throw_error_set();
        }
        Ref owned = Ref::steal(value);
        set(name, owned.get());
    }
}

namespace {

// RuntimeWarning when the interpreter's major.minor differs from the one we were built for.
void warn_on_version_mismatch(const ModuleLoader& loader) {
    int runtime_major = 0, runtime_minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, loader.full_name, "does not match",
                  runtime_major, runtime_minor);
    check_status(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// sys.modules[full_name] = module, unless that name is taken already.
void register_in_module_table(const ModuleLoader& loader, PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref full_name = intern(loader.full_name);
    PyObject* present = PyDict_GetItemWithError(modules, full_name.get());  // borrowed
    if (present == nullptr && PyErr_Occurred()) throw_error_set();
    if (present == nullptr) check_status(PyDict_SetItem(modules, full_name.get(), module));
}

}  // namespace

PyObject* create_module(ModuleLoader& loader, PyObject* module_spec) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (loader.interpreter_id == -1) {
        loader.interpreter_id = current;
    } else if (loader.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (loader.module != nullptr) return Py_NewRef(loader.module);
    PyObject* name = nullptr;
    if (!run_at_boundary([&] { name = check(PyObject_GetAttr(module_spec, intern("name").get())); })) return nullptr;
    loader.module = PyModule_NewObject(name);
    Py_DECREF(name);
    return Py_XNewRef(loader.module);
}

int exec_module(ModuleLoader& loader, PyObject* module) {
    if (loader.executed != nullptr) {
        if (loader.executed == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     loader.short_name);
        return -1;
    }
    loader.executed = module;
    if (run_at_boundary([&] {
            warn_on_version_mismatch(loader);
            register_in_module_table(loader, module);
            loader.exec_body(module);
        }))
        return 0;
    // The module is discarded: a later import starts again from a new module object.
    loader.executed = nullptr;
    if (loader.module == module) {
        loader.module = nullptr;
        Py_DECREF(module);
    }
    std::string function = std::string("init ") + loader.full_name;
    if (PyErr_Occurred())
        add_traceback(function.c_str(), loader.source_file, 1);
    else
        PyErr_SetString(PyExc_ImportError, function.c_str());
    return -1;
}

}  // namespace quorvel
