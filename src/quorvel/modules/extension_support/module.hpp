// What every extension module of ours is made of: its loading rules, its namespace lookups and
// its definition. A module supplies a ModuleLoader with its body, its state (shared_state.hpp)
// and PyInit_<name>() { return init_module<loader>(); }.
//
// Each module keeps its state per process: it loads into one interpreter only, its module
// object is created once and handed out again, and its body runs once. The state is held in
// raw pointers that are never released, so nothing runs at interpreter teardown.
#pragma once

#include "call.hpp"

#include <cstdint>
#include <initializer_list>

namespace quorvel {

// Names looked up in a module's namespace at every use, falling back to the builtins, so that
// rebinding a module attribute takes effect at the next call.
class ModuleNamespace {
public:
    void bind(PyObject* module);
    // Returns a new reference; raises NameError when the name is bound nowhere.
    Ref lookup(PyObject* name) const;
    void set(const char* name, PyObject* value) const;
    // import name as as_name
    void import_module(const char* name, const char* as_name) const;
    // from module import names..., binding each under its own name, in order.
    void import_from(const char* module, std::initializer_list<const char*> names) const;

private:
    PyObject* dict_ = nullptr;      // borrowed from the module, which lives for the process
    PyObject* builtins_ = nullptr;  // owned, never released
};

struct ModuleLoader {
    const char* short_name;   // "matcher"
    const char* full_name;    // "quorvel.modules.matcher.matcher"
    const char* source_file;  // shown in the traceback entry of a failed import
    void (*exec_body)(PyObject* module);  // binds the namespace; throws PyErrorSet

    int64_t interpreter_id = -1;
    PyObject* module = nullptr;    // the module object handed out (owned)
    PyObject* executed = nullptr;  // the module whose body has run (borrowed)
};

PyObject* create_module(ModuleLoader& loader, PyObject* module_spec);
int exec_module(ModuleLoader& loader, PyObject* module);

template <ModuleLoader& loader>
PyObject* create_slot(PyObject* module_spec, PyModuleDef*) {
    return create_module(loader, module_spec);
}

template <ModuleLoader& loader>
int exec_slot(PyObject* module) {
    return exec_module(loader, module);
}

// The module's definition, made ready for multi-phase initialization: the return value of its
// PyInit function.
template <ModuleLoader& loader>
PyObject* init_module() {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create_slot<loader>)},
        {Py_mod_exec, reinterpret_cast<void*>(exec_slot<loader>)},
        {0, nullptr},
    };
    static PyModuleDef definition = {PyModuleDef_HEAD_INIT, loader.short_name, nullptr, 0, nullptr, slots,
                                     nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&definition);
}

}  // namespace quorvel
