// What every extension module's state holds for the code the modules share: the module's
// namespace, the names the shared code reads, the shortcuts' captures and the decoded message
// texts. Each module's state struct derives from SharedState; it is made when the module body
// first runs, never released, and handed to the shared code by the module's shared_state().
#pragma once

#include "fast_paths.hpp"
#include "module.hpp"
#include "names.hpp"

#include <unordered_map>

namespace quorvel {

// The names of the shared code, by the code that reads them.
#define QUORVEL_SHARED_NAMES(NAME, TEXT, TUPLE)                                                        \
    /* reporting: the module-level names it looks up, the record's keys */                          \
    NAME(console) NAME(print) NAME(json) NAME(dumps) NAME(traceback) NAME(format_exc) NAME(logger)    \
    NAME(error) NAME(repr) TUPLE(default_kwnames, "default")                                          \
    /* messages */                                                                                    \
    TEXT(empty, "")                                                                                   \
    /* the binder */                                                                                  \
    TEXT(module_key, "__module__") TEXT(qualname_key, "__qualname__") TEXT(return_key, "return")      \
    NAME(self) TEXT(default_key, "default") NAME(annotation) NAME(return_annotation) NAME(Parameter)  \
    NAME(Signature) NAME(POSITIONAL_OR_KEYWORD) NAME(VAR_POSITIONAL)                                  \
    /* the column reader */                                                                           \
    NAME(schema) NAME(height) NAME(slice) NAME(get_column) NAME(to_list)                             \
    TEXT(arrow_c_stream, "__arrow_c_stream__")                                                        \
    /* the tick dictionary's keys */                                                                  \
    NAME(market_type) NAME(timestamp) NAME(code) NAME(close) NAME(qty) NAME(tick_type)               \
    NAME(is_simulate) NAME(is_backfilling)                                                            \
    /* the shortcuts: the attributes they check */                                                    \
    NAME(from_value) NAME(value) NAME(fget) NAME(deepcopy) NAME(Enum) NAME(issubclass) NAME(getattr)  \
    NAME(isinstance) NAME(id) NAME(dispatch_table) TEXT(call, "__call__") TEXT(new_, "__new__")       \
    TEXT(value_map, "_value2member_map_") TEXT(get, "__get__") TEXT(stored_value, "_value_")          \
    TEXT(deepcopy_hook, "__deepcopy__") TEXT(function, "__func__") TEXT(dispatch, "_deepcopy_dispatch") \
    TEXT(deepcopy_dict, "_deepcopy_dict") TEXT(deepcopy_atomic, "_deepcopy_atomic")                   \
    TEXT(getattribute, "__getattribute__") TEXT(reduce_ex, "__reduce_ex__") TEXT(class_, "__class__") \
    TEXT(reconstruct, "_reconstruct") TEXT(builtins, "__builtins__")

struct SharedNames {
    QUORVEL_SHARED_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

struct SharedState {
    SharedNames shared_names;
    ModuleNamespace ns;  // bound to the module's namespace when its body runs
    fast_paths::Shortcuts shortcuts;
    // The str of each literal text piece of a message, decoded at its first use, by the literal's
    // address (borrowed from here: the strs are kept for the process).
    std::unordered_map<const char*, PyObject*> literal_texts;
};

// The state of the module this code is linked into; each extension module defines it.
SharedState& shared_state();

// names->x, the shorthand a module's code reads its interned name x by: (*state)->names.x, the
// module's state being made when its body first runs.
template <auto& state>
struct StateNames {
    auto operator->() const { return &state->names; }
};

inline const SharedNames& shared_names() { return shared_state().shared_names; }

// A module-level name, looked up at the moment of use so that rebinding a module attribute takes
// effect at the next call (new reference).
inline Ref global(PyObject* name) { return shared_state().ns.lookup(name); }

// module_level.attribute, e.g. OperationType.NEW: a plain member of a captured enumeration is
// read natively (new reference).
inline Ref global_attr(PyObject* name, PyObject* attribute) {
    return fast_paths::class_attribute(global(name).get(), attribute);
}

}  // namespace quorvel
