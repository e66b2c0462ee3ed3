// Native answers to calls into Python whose result is known: an enumeration's from_value, a
// member's value, and the deep copy of an order record. Each answer is given only while every
// attribute the real call would resolve is still the object it was when the module body ran,
// and only for inputs of the exact expected types; in every other case the real call is made,
// so a rebinding, a subclass or an odd value behaves exactly as in Python.
#pragma once

#include "call.hpp"

#include <cstdint>
#include <initializer_list>

namespace quorvel::fast_paths {

// The shortcuts' part of a module's state: whether they are switched on, and what the captures
// below found when the module body ran.
class Shortcuts {
public:
    // Reads QUORVEL_NO_FAST_PATHS: any non-empty value turns every shortcut off for the process.
    Shortcuts();
    Shortcuts(const Shortcuts&) = delete;
    Shortcuts& operator=(const Shortcuts&) = delete;

    struct Captures;  // the captured enumerations, copy module and functions
    Captures& captures() const { return *captures_; }
    bool switched_off() const { return switched_off_; }

private:
    bool switched_off_;
    Captures* captures_;  // made with the state, never released
};

// Whether shortcuts may be taken on this thread now: not when switched off, nor while a trace or
// profile function is set or a sys.monitoring tool has events set for the whole interpreter
// (each would miss the calls a shortcut saves). Events a tool sets on one function alone (a
// debugger's breakpoint) turn off the shortcuts that save a call of that function.
bool active();

// Makes `enumeration` (an Enum class of quorvel.constant, kept for the process) eligible for the
// shortcuts below. Each stays off for a class that does not look as ours do: from_value, for
// one, is answered only for our string enumerations.
void capture_enumeration(PyObject* enumeration);

// Makes copy.deepcopy of `copy_module` eligible for the record shortcut.
void capture_copy(PyObject* copy_module);

// Makes `function` (a Python function, kept for the process) recognisable by
// function_unchanged, together with what the dotted names it reads resolve to now
// ("operator.index": the global `operator`, then its attribute `index`; "float": the builtin, while
// no global of that name hides it).
void capture_function(PyObject* function, std::initializer_list<const char*> reads);

// The version number of `dict` into `version`: up to 3.11 every change of a dict gives it a new
// one, unique in the process (PEP 509). False from 3.12 on, where dicts offer none.
bool dict_version(PyObject* dict, uint64_t& version);

// An entry of a dict, read once and remembered with the dict's version number: up to 3.11 every
// change of a dict gives it a new version, unique in the process (PEP 509), so while the dict
// keeps the version it had, the entry is the one remembered and is not looked up again. From
// 3.12 on dicts offer no version and every read is a lookup.
class RememberedEntry {
public:
    // dict.get(key) (borrowed or nullptr), `key` being the same at every call; throws when the
    // lookup itself fails.
    PyObject* get(PyObject* dict, PyObject* key);

private:
    [[maybe_unused]] PyObject* dict_ = nullptr;  // the dict the entry was read from, by address only
    [[maybe_unused]] uint64_t version_ = 0;
    [[maybe_unused]] PyObject* value_ = nullptr;  // held by the dict while it keeps its version
};

// type.name as the attribute lookup finds it along the MRO (borrowed or nullptr), remembered
// with the type's attribute version: while the type and its bases keep it (no attribute of
// theirs set or deleted since), the lookup gives what it gave.
class RememberedClassEntry {
public:
    PyObject* get(PyTypeObject* type, PyObject* name);

private:
    PyTypeObject* type_ = nullptr;  // compared by address only
    unsigned int version_ = 0;
    PyObject* value_ = nullptr;  // held along the type's MRO while it keeps its version
};

// What a name resolves to on an instance of a class, read on the class and in the instance's
// attributes.
struct RememberedAttribute {
    RememberedClassEntry on_class;
    RememberedEntry on_instance;
};

// Whether shortcuts are active and `candidate` is a captured function, running the same code
// with the same defaults, whose dotted names still resolve to the same objects.
bool function_unchanged(PyObject* candidate);

// Whether enumeration.from_value, `enumeration` being what the name resolves to now, is still
// ours, reached through the unchanged class call, Enum.__new__ and value-to-member table.
bool from_value_unchanged(PyObject* enumeration);

// What our from_value returns for an exact-str value or a member of the class (borrowed), or
// nullptr when only the real call can say. Only while from_value_unchanged(enumeration).
PyObject* known_member(PyObject* enumeration, PyObject* value);

// The interned "from_value".
PyObject* from_value_name();

// enumeration.from_value(argument()): the attribute is looked up before the argument is
// evaluated, as Python does (new reference).
template <class Argument>
Ref from_value(PyObject* enumeration, Argument&& argument) {
    if (!from_value_unchanged(enumeration)) return call_in_order({getattr(enumeration, from_value_name()), argument()});
    Ref value = argument();
    if (PyObject* member = known_member(enumeration, value.get())) return Ref::borrow(member);
    return call_method(enumeration, from_value_name(), value);
}

// member.value (new reference).
Ref member_value(PyObject* member);

// enumeration.name (new reference): natively for a captured enumeration while its metaclass
// finds attributes as `type` does and the class holds a plain object under that name.
Ref class_attribute(PyObject* enumeration, PyObject* name);

// deepcopy(record), `deepcopy` being what the name resolves to now (new reference). Natively: a
// new dict with the same keys in the same order, when the record is an exact dict of exact-str
// keys whose values are exact str, int, float, bool or None (copied as themselves) or members of
// a captured enumeration (copied as deepcopy's own rules give: the member itself from 3.11 on,
// before that what the class gives for the member's value).
Ref deepcopy(PyObject* deepcopy, PyObject* record);

}  // namespace quorvel::fast_paths
