// Methods described by data: a MethodEntry names a method, its parameters with their types and
// annotations, its docstring and its result rule; the method object built from it binds
// arguments with the interpreter's own messages, runs the implementation and turns a thrown
// PyErrorSet into NULL plus a traceback entry.
#pragma once

#include "ref.hpp"

#include <span>

namespace quorvel {

// What a parameter accepts. Exact-type tests refuse subclasses; None passes only where the
// default is None. Float converts anything convertible to float; FloatOrNone is an exact test.
enum class ArgType { Object, Str, Int, Dict, List, Float, FloatOrNone };

// What a method may return besides None (checked after the call).
enum class ResultType { Any, Str, Dict };

struct Param {
    const char* name;
    ArgType type;
    const char* annotation;  // the annotation text, or nullptr when the parameter has none
};

// args[0] is self, args[1..] the bound parameters in declaration order, then the *args tuple
// when the method has one (all borrowed).
// Returns the result or throws PyErrorSet.
using MethodImpl = Ref (*)(PyObject* const* args);
// Returns the defaults tuple as a new reference (computed when the class is created).
using DefaultsFactory = Ref (*)();

struct MethodEntry {
    const char* key;   // key in the class namespace, private names mangled
    const char* name;  // the name as written
    std::span<const Param> params;  // after self
    Py_ssize_t ndefaults;           // trailing parameters with a default
    DefaultsFactory defaults;       // nullptr: every default is None
    const char* doc;
    const char* return_annotation;  // nullptr: none
    ResultType result;
    MethodImpl impl;
    int line;  // line of the method's entry in the class table, shown in traceback entries
    // Name of a trailing *args parameter collecting further positionals into a tuple, passed
    // after the declared parameters (positional only, not type-tested); nullptr: none.
    const char* varargs = nullptr;
};

// Where a class's methods come from, for __module__, __qualname__ and traceback entries.
struct ClassInfo {
    const char* module_name;  // "quorvel.modules.matcher.matcher"
    const char* class_name;   // "Matcher"
    const char* source_file;  // "src/quorvel/modules/matcher/matcher.cpp"
};

// Creates the class as a class statement would: type(name, (object,), namespace) with
// __module__, __qualname__ and the methods in the given order. Returns a new reference.
Ref make_class(const ClassInfo& info, std::span<const MethodEntry> methods);

// Adds an entry "File <source_file>, line <line>, in <function>" to the pending error's traceback.
void add_traceback(const char* function, const char* source_file, int line);

// "Expected %s, got %.200s" unless `result` is exactly `type` or None.
void check_result_type(PyObject* result, PyTypeObject* type);

}  // namespace quorvel
