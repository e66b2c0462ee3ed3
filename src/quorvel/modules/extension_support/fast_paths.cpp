#include "fast_paths.hpp"

#include "shared_state.hpp"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace quorvel::fast_paths {

namespace {

// type.name as the attribute lookup finds it along the MRO, without binding (borrowed or nullptr).
PyObject* lookup(PyObject* type, PyObject* name) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type), name);
}

// dict.get(key) (borrowed or nullptr); throws when the lookup itself fails.
PyObject* entry(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error_set();
    return value;
}

// A number that changes whenever an attribute of the type or of one of its bases is set or
// deleted (the interpreter's method-cache version); 0 while it has none.
unsigned int attribute_version(PyObject* type) {
    auto* as_type = reinterpret_cast<PyTypeObject*>(type);
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(as_type, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return as_type->tp_version_tag;
}

// Whether a sys.monitoring tool has set events on this code object alone (a debugger's
// breakpoint in it, for one).
bool monitored_locally([[maybe_unused]] PyObject* code) {
#if PY_VERSION_HEX >= 0x030C0000
    const _PyCoMonitoringData* monitoring = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    if (monitoring == nullptr) return false;
    for (int event = 0; event < _PY_MONITORING_LOCAL_EVENTS; ++event)
        if (monitoring->local_monitors.tools[event] != 0) return true;
#endif
    return false;
}

// A Python function as it was when captured: the object, and the code and defaults it ran with.
// The references are kept for the process, so no other object can take their addresses.
struct Function {
    PyObject* object = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;

    // Keeps `candidate` when it is a Python function.
    bool capture(PyObject* candidate) {
        if (candidate == nullptr || !PyFunction_Check(candidate)) return false;
        object = Py_NewRef(candidate);
        code = Py_NewRef(PyFunction_GET_CODE(candidate));
        defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(candidate));
        kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(candidate));
        return true;
    }

    // Whether `candidate` is this function, still running the same code with the same defaults,
    // and no monitoring tool watches that code.
    bool is(PyObject* candidate) const {
        return candidate != nullptr && candidate == object && PyFunction_GET_CODE(object) == code &&
               PyFunction_GET_DEFAULTS(object) == defaults && PyFunction_GET_KW_DEFAULTS(object) == kwdefaults &&
               !monitored_locally(code);
    }
};

// What the operations of one string enumeration resolve to, as captured.
class StrEnumeration {
public:
    // Captures `enumeration`, an Enum class; each of its shortcuts stays off when the class does
    // not look as ours do. False when it is no class at all.
    bool capture(PyObject* enumeration, PyObject* enum_base) {
        if (!PyType_Check(enumeration)) return false;
        cls = Py_NewRef(enumeration);
        meta_ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(enumeration)));
        type_getattribute_ = lookup(reinterpret_cast<PyObject*>(&PyType_Type), shared_names().getattribute);
        from_value_captured_ = capture_from_value(enum_base);
        capture_value(enum_base);
        capture_deepcopy(enum_base);
        return true;
    }

    // Our from_value, reached through the class call, Enum.__new__ and the value-to-member table.
    bool capture_from_value(PyObject* enum_base) {
        const SharedNames& n = shared_names();
        if (lookup(meta_, n.from_value) != nullptr || !meta_call_.capture(lookup(meta_, n.call))) return false;
        from_value_descriptor_ = lookup(cls, n.from_value);
        if (from_value_descriptor_ == nullptr || !Py_IS_TYPE(from_value_descriptor_, &PyClassMethod_Type)) return false;
        Ref function = getattr(from_value_descriptor_, n.function);
        if (!from_value_.capture(function.get()) || !defined_by_us(function.get())) return false;
        // Enum stores its __new__ in each enumeration class as the plain function.
        Ref enum_new = getattr(enum_base, n.new_);
        if (!new_.capture(lookup(cls, n.new_)) || enum_new.get() != new_.object) return false;
        value_map_ = lookup(cls, n.value_map);
        if (value_map_ == nullptr || !PyDict_CheckExact(value_map_)) return false;
        // Kept for the process, as the captured functions are. (A capture that fails part way keeps
        // the few references it took: it happens once, when a module body runs.)
        Py_INCREF(from_value_descriptor_);
        Py_INCREF(value_map_);
        return true;
    }

    // How deepcopy copies a member: through Enum.__deepcopy__ (3.11 on), which returns it; before
    // that by reduction: Enum.__reduce_ex__ gives (its class, (its value,)), and the class called
    // with the value gives what the value-to-member table holds for it.
    void capture_deepcopy(PyObject* enum_base) {
        const SharedNames& n = shared_names();
        if (deepcopy_.capture(lookup(enum_base, n.deepcopy_hook))) {
            if (lookup(cls, n.deepcopy_hook) != deepcopy_.object) deepcopy_ = Function();
            return;
        }
        if (reduce_ex_.capture(lookup(enum_base, n.reduce_ex)) && lookup(cls, n.reduce_ex) != reduce_ex_.object)
            reduce_ex_ = Function();
        class_descriptor_ = lookup(reinterpret_cast<PyObject*>(&PyBaseObject_Type), n.class_);
    }

    // Whether enumeration.from_value(value) still runs our from_value, through the unchanged
    // class call, Enum.__new__ and value-to-member table. The attributes are looked up again only
    // when the class or its metaclass has changed since they were last found unchanged.
    bool from_value_unchanged() const {
        const SharedNames& n = shared_names();
        if (!from_value_captured_ || reinterpret_cast<PyObject*>(Py_TYPE(cls)) != meta_) return false;
        if (!attributes_checked()) {
            if (lookup(meta_, n.from_value) != nullptr || lookup(meta_, n.call) != meta_call_.object ||
                lookup(cls, n.from_value) != from_value_descriptor_ || lookup(cls, n.new_) != new_.object ||
                lookup(cls, n.value_map) != value_map_)
                return false;
            checked_versions_ = {attribute_version(cls), attribute_version(meta_)};
        }
        return meta_call_.is(meta_call_.object) && from_value_.is(from_value_.object) && new_.is(new_.object);
    }

    // The member for an exact-str value or a member of this class (borrowed), or nullptr: ask
    // the real from_value.
    PyObject* member_for(PyObject* value) const {
        if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(cls)) return value;
        if (!PyUnicode_CheckExact(value)) return nullptr;
        return entry(value_map_, value);
    }

    // cls.name as type.__getattribute__ finds a plain class attribute (borrowed), or nullptr when
    // only the real lookup can say: the metaclass must not name it, nor find attributes otherwise.
    PyObject* plain_attribute(PyObject* name) const {
        const SharedNames& n = shared_names();
        if (reinterpret_cast<PyObject*>(Py_TYPE(cls)) != meta_ || lookup(meta_, n.getattribute) != type_getattribute_ ||
            lookup(meta_, name) != nullptr)
            return nullptr;
        PyObject* found = lookup(cls, name);
        return found != nullptr && Py_TYPE(found)->tp_descr_get == nullptr ? found : nullptr;
    }

    // Whether member.value is still read by Enum's value property: self._value_.
    bool value_unchanged() const {
        const SharedNames& n = shared_names();
        if (value_descriptor_ == nullptr || lookup(cls, n.value) != value_descriptor_ ||
            lookup(cls, n.stored_value) != nullptr || !value_getter_.is(lookup(descriptor_type(), n.get)))
            return false;
        Ref getter = Ref::steal_or_null(PyObject_GetAttr(value_descriptor_, n.fget));
        if (!getter) PyErr_Clear();
        return value_fget_.is(getter.get());
    }

    // Whether deepcopy copies members by reduction (before 3.11).
    bool copies_by_reduction() const { return deepcopy_.object == nullptr; }

    // What copy.deepcopy(member) gives (borrowed), or nullptr when only the real call can say.
    PyObject* copy_of(PyObject* member) const {
        const SharedNames& n = shared_names();
        if (Py_TYPE(member)->tp_getattro != PyObject_GenericGetAttr) return nullptr;
        Ref attributes = Ref::steal_or_null(PyObject_GenericGetDict(member, nullptr));
        if (!attributes) {
            PyErr_Clear();
            return nullptr;
        }
        if (entry(attributes.get(), n.deepcopy_hook) != nullptr) return nullptr;
        if (!copies_by_reduction()) return deepcopy_.is(lookup(cls, n.deepcopy_hook)) ? member : nullptr;
        if (reduce_ex_.object == nullptr || lookup(cls, n.deepcopy_hook) != nullptr ||
            !reduce_ex_.is(lookup(cls, n.reduce_ex)) || entry(attributes.get(), n.reduce_ex) != nullptr ||
            lookup(cls, n.class_) != class_descriptor_ || lookup(cls, n.stored_value) != nullptr ||
            !from_value_unchanged())
            return nullptr;
        PyObject* value = entry(attributes.get(), n.stored_value);
        return value != nullptr && PyUnicode_CheckExact(value) ? entry(value_map_, value) : nullptr;
    }

    PyObject* cls = nullptr;

private:
    static bool defined_by_us(PyObject* function) {
        PyObject* module = PyFunction_GET_MODULE(function);
        return module != nullptr && PyUnicode_Check(module) &&
               PyUnicode_CompareWithASCIIString(module, "quorvel.constant") == 0;
    }

    PyObject* descriptor_type() const { return reinterpret_cast<PyObject*>(Py_TYPE(value_descriptor_)); }

    // Enum's `value` property and its getter; the shortcut stays off when they look otherwise.
    void capture_value(PyObject* enum_base) {
        const SharedNames& n = shared_names();
        PyObject* descriptor = lookup(cls, n.value);
        if (descriptor == nullptr || descriptor != lookup(enum_base, n.value) || lookup(cls, n.stored_value) != nullptr)
            return;
        Ref getter = Ref::steal_or_null(PyObject_GetAttr(descriptor, n.fget));
        if (!getter) {
            PyErr_Clear();
            return;
        }
        value_descriptor_ = descriptor;
        if (!value_fget_.capture(getter.get()) || !value_getter_.capture(lookup(descriptor_type(), n.get))) {
            value_descriptor_ = nullptr;
            return;
        }
        Py_INCREF(value_descriptor_);
    }

    // Whether neither the class nor its metaclass has had an attribute set or deleted since the
    // lookups last found everything unchanged.
    bool attributes_checked() const {
        unsigned int class_version = attribute_version(cls);
        return class_version != 0 && checked_versions_[0] == class_version &&
               checked_versions_[1] == attribute_version(meta_) && checked_versions_[1] != 0;
    }

    PyObject* meta_ = nullptr;
    PyObject* type_getattribute_ = nullptr;  // type.__getattribute__, which lives as long as `type`
    bool from_value_captured_ = false;
    mutable std::array<unsigned int, 2> checked_versions_ = {0, 0};  // of the class and the metaclass
    Function meta_call_;
    PyObject* from_value_descriptor_ = nullptr;
    Function from_value_;
    Function new_;
    PyObject* value_map_ = nullptr;
    PyObject* value_descriptor_ = nullptr;
    Function value_fget_, value_getter_;
    Function deepcopy_;
    Function reduce_ex_;
    PyObject* class_descriptor_ = nullptr;  // object.__class__, which lives as long as `object`
};

// The captured enumeration that is `cls`, or nullptr.
const StrEnumeration* find(PyObject* cls);

// copy.deepcopy and the parts of the copy module it runs for a dict of atomic values and members.
struct CopyModule {
    Function deepcopy, deepcopy_dict, deepcopy_atomic, reconstruct;
    PyObject* dispatch = nullptr;
    PyObject* reductions = nullptr;  // copyreg's dispatch_table

    // Whether deepcopy still dispatches a dict to _deepcopy_dict and the atomic types to
    // _deepcopy_atomic, and finds issubclass and getattr where they were.
    bool unchanged() const {
        const SharedNames& n = shared_names();
        PyObject* globals = PyFunction_GET_GLOBALS(deepcopy.object);
        for (PyObject* builtin : {n.issubclass, n.getattr, n.isinstance, n.id})
            if (entry(globals, builtin) != nullptr) return false;
        if (entry(globals, n.dispatch) != dispatch) return false;
        if (!deepcopy_dict.is(dispatched(&PyDict_Type))) return false;
        for (PyTypeObject* atomic : {Py_TYPE(Py_None), &PyLong_Type, &PyFloat_Type, &PyBool_Type, &PyUnicode_Type})
            if (!deepcopy_atomic.is(dispatched(atomic))) return false;
        return true;
    }

    // _deepcopy_dispatch.get(type) (borrowed or nullptr).
    PyObject* dispatched(PyTypeObject* type) const { return entry(dispatch, reinterpret_cast<PyObject*>(type)); }

    // Whether a member of `type` would still be reduced by Enum.__reduce_ex__ and rebuilt by
    // _reconstruct, copyreg naming no reduction of its own for the class.
    bool reduction_unchanged(PyTypeObject* type) const {
        const SharedNames& n = shared_names();
        PyObject* globals = PyFunction_GET_GLOBALS(deepcopy.object);
        return entry(globals, n.dispatch_table) == reductions &&
               entry(reductions, reinterpret_cast<PyObject*>(type)) == nullptr &&
               reconstruct.is(entry(globals, n.reconstruct));
    }

    // What deepcopy gives for `value` (borrowed): the value itself for an atomic value, the copy
    // of a member of a captured enumeration that the dispatch table does not name; nullptr when
    // only the real call can say.
    PyObject* copy_of(PyObject* value) const {
        if (value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
            PyUnicode_CheckExact(value))
            return value;
        const StrEnumeration* enumeration = find(reinterpret_cast<PyObject*>(Py_TYPE(value)));
        if (enumeration == nullptr || dispatched(Py_TYPE(value)) != nullptr) return nullptr;
        if (enumeration->copies_by_reduction() && !reduction_unchanged(Py_TYPE(value))) return nullptr;
        return enumeration->copy_of(value);
    }
};

// The captured copy module.
const CopyModule& copy_module();

// The record's deep copy when every entry's copy is known, else an empty Ref: the same keys in the
// same order, as deepcopy's new dict filled entry by entry. When every value copies as itself,
// one dict copy.
Ref copy_record(PyObject* record) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool all_themselves = true;
    while (PyDict_Next(record, &position, &key, &value)) {
        PyObject* copy = PyUnicode_CheckExact(key) ? copy_module().copy_of(value) : nullptr;
        if (copy == nullptr) return Ref();
        all_themselves = all_themselves && copy == value;
    }
    if (all_themselves) return Ref::steal(PyDict_Copy(record));
    Ref duplicate = new_dict();
    position = 0;
    while (PyDict_Next(record, &position, &key, &value)) {
        PyObject* copy = copy_module().copy_of(value);  // as in the pass above: nothing ran between
        if (copy == nullptr) raise(PyExc_SystemError, "a record entry's copy changed while copying");
        check_status(PyDict_SetItem(duplicate.get(), key, copy));
    }
    return duplicate;
}

#if PY_VERSION_HEX < 0x030C0000
// The version number of a dict: up to 3.11 every change of a dict gives it a new one, unique in
// the process (PEP 509).
uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }
#endif

// A function and the objects its dotted names resolved to when it was captured: each link is a
// namespace (a dict) and a name in it.
struct CapturedFunction {
    struct Link {
        PyObject* scope;  // the dict the name is read from
        PyObject* name;
        PyObject* value;
    };
    Function function;
    std::array<Link, 4> links = {};
    size_t link_count = 0;

    bool unchanged() const {
        if (!function.is(function.object)) return false;
        if (scopes_untouched()) return true;
        for (size_t i = 0; i < link_count; ++i)
            if (entry(links[i].scope, links[i].name) != links[i].value) return false;
        remember_scopes();
        return true;
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    // While each scope keeps the version it had when its links were last found unchanged
    // (dict_version), they are unchanged still, and are not looked up again.
    bool scopes_untouched() const {
        if (!remembered_) return false;
        for (size_t i = 0; i < link_count; ++i)
            if (dict_version(links[i].scope) != versions_[i]) return false;
        return true;
    }

    void remember_scopes() const {
        for (size_t i = 0; i < link_count; ++i) versions_[i] = dict_version(links[i].scope);
        remembered_ = true;
    }

    mutable std::array<uint64_t, 4> versions_ = {};
    mutable bool remembered_ = false;
#else
    // From 3.12 on the version numbers are no longer offered: the links are looked up each time.
    bool scopes_untouched() const { return false; }
    void remember_scopes() const {}
#endif
};

// The dict of builtins that code running with `globals` reads (borrowed), or nullptr.
PyObject* builtins_of(PyObject* globals) {
    PyObject* builtins = PyDict_GetItem(globals, shared_names().builtins);
    if (builtins != nullptr && PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
    return builtins != nullptr && PyDict_CheckExact(builtins) ? builtins : nullptr;
}

// Adds the links of `dotted` ("module.attribute") from `globals`; false when a part is missing
// or is not read from a dict. A first part that the globals lack is read from the builtins, as
// long as the globals go on lacking it.
bool capture_reads(CapturedFunction& captured, PyObject* globals, const char* dotted) {
    PyObject* scope = globals;
    std::string_view rest = dotted;
    while (!rest.empty()) {
        size_t dot = rest.find('.');
        std::string_view part = rest.substr(0, dot);
        rest = dot == std::string_view::npos ? std::string_view() : rest.substr(dot + 1);
        if (captured.link_count == captured.links.size() || scope == nullptr || !PyDict_CheckExact(scope)) return false;
        PyObject* name = intern(std::string(part).c_str()).release();  // kept for the process
        PyObject* value = entry(scope, name);
        if (value == nullptr && scope == globals) {
            if (captured.link_count + 1 == captured.links.size()) return false;
            captured.links[captured.link_count++] = {scope, name, nullptr};  // stays unbound in the globals
            scope = builtins_of(globals);
            value = scope != nullptr ? entry(scope, name) : nullptr;
        }
        if (value == nullptr) return false;
        captured.links[captured.link_count++] = {scope, name, Py_NewRef(value)};
        scope = PyModule_Check(value) ? PyModule_GetDict(value) : nullptr;
    }
    return true;
}

}  // namespace

// What the captures found, kept in the module's state.
struct Shortcuts::Captures {
    std::array<StrEnumeration, 16> enumerations;
    size_t enumeration_count = 0;
    CopyModule copy_module;
    std::array<CapturedFunction, 4> functions;
    size_t function_count = 0;
#if PY_VERSION_HEX >= 0x030D0000
    // Which tools have set each event for the whole interpreter, as last read, and the version of
    // the interpreter's monitoring state they were read at.
    std::array<PyMonitoringState, _PY_MONITORING_LOCAL_EVENTS> monitoring = {};
    uint64_t monitoring_version = 0;
#endif
};

Shortcuts::Shortcuts() : captures_(new Captures()) {
    const char* setting = std::getenv("QUORVEL_NO_FAST_PATHS");
    switched_off_ = setting != nullptr && setting[0] != '\0';
}

namespace {

Shortcuts::Captures& captures() { return shared_state().shortcuts.captures(); }

const StrEnumeration* find(PyObject* cls) {
    const Shortcuts::Captures& found = captures();
    for (size_t i = 0; i < found.enumeration_count; ++i)
        if (found.enumerations[i].cls == cls) return &found.enumerations[i];
    return nullptr;
}

const CopyModule& copy_module() { return captures().copy_module; }

// Whether a sys.monitoring tool has set events for the whole interpreter (3.12 on); only the
// events of running code count, the others (raise, C return) are never saved by a shortcut.
bool monitored_everywhere([[maybe_unused]] PyThreadState* thread_state) {
#if PY_VERSION_HEX >= 0x030D0000
    // The documented way: the tools of each event, read again only when the interpreter's
    // monitoring state has changed since the last call.
    static constexpr auto events = [] {
        std::array<uint8_t, _PY_MONITORING_LOCAL_EVENTS> all{};
        for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
        return all;
    }();
    Shortcuts::Captures& state = captures();
    check_status(PyMonitoring_EnterScope(state.monitoring.data(), &state.monitoring_version, events.data(),
                                         static_cast<Py_ssize_t>(events.size())));
    check_status(PyMonitoring_ExitScope());
    for (size_t i = 0; i < events.size(); ++i)
        if (state.monitoring[i].active != 0) return true;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    // 3.12 offers no such call. Setting events instruments every running code object at once, so
    // the code this thread runs now carries the tools of each of its events.
    _PyCFrame* cframe = thread_state->cframe;
    if (cframe == nullptr || cframe->current_frame == nullptr) return false;
    PyObject* code = PyUnstable_InterpreterFrame_GetCode(cframe->current_frame);
    const _PyCoMonitoringData* monitoring = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
    Py_DECREF(code);  // the running frame holds it too
    if (monitoring == nullptr) return false;
    for (int event = 0; event < _PY_MONITORING_LOCAL_EVENTS; ++event)
        if (monitoring->active_monitors.tools[event] != 0) return true;
    return false;
#else
    return false;
#endif
}

}  // namespace

bool active() {
    if (shared_state().shortcuts.switched_off()) return false;
    PyThreadState* thread_state = PyThreadState_Get();
    return thread_state->c_tracefunc == nullptr && thread_state->c_profilefunc == nullptr &&
           !monitored_everywhere(thread_state);
}

void capture_enumeration(PyObject* enumeration) {
    Shortcuts::Captures& state = captures();
    if (find(enumeration) != nullptr || state.enumeration_count == state.enumerations.size()) return;
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    Ref enum_base = getattr(enum_module.get(), shared_names().Enum);
    StrEnumeration captured;
    if (captured.capture(enumeration, enum_base.get())) state.enumerations[state.enumeration_count++] = captured;
}

void capture_copy(PyObject* copy) {
    Shortcuts::Captures& state = captures();
    if (state.copy_module.deepcopy.object != nullptr) return;
    const SharedNames& n = shared_names();
    Ref deepcopy = getattr(copy, n.deepcopy);
    Ref dispatch = getattr(copy, n.dispatch);
    if (!PyDict_CheckExact(dispatch.get())) return;
    Ref reductions = getattr(copy, n.dispatch_table);
    if (!PyDict_CheckExact(reductions.get())) return;
    CopyModule captured;
    captured.dispatch = dispatch.get();
    captured.reductions = reductions.get();
    if (!captured.deepcopy.capture(deepcopy.get()) ||
        !captured.deepcopy_dict.capture(getattr(copy, n.deepcopy_dict).get()) ||
        !captured.deepcopy_atomic.capture(getattr(copy, n.deepcopy_atomic).get()) ||
        !captured.reconstruct.capture(getattr(copy, n.reconstruct).get()) || !captured.unchanged())
        return;
    Py_INCREF(captured.dispatch);
    Py_INCREF(captured.reductions);
    state.copy_module = captured;
}

void capture_function(PyObject* function, std::initializer_list<const char*> reads) {
    Shortcuts::Captures& state = captures();
    if (state.function_count == state.functions.size()) return;
    CapturedFunction captured;
    if (!captured.function.capture(function)) return;
    for (const char* dotted : reads)
        if (!capture_reads(captured, PyFunction_GET_GLOBALS(function), dotted)) return;
    state.functions[state.function_count++] = captured;
}

bool dict_version([[maybe_unused]] PyObject* dict, [[maybe_unused]] uint64_t& version) {
#if PY_VERSION_HEX < 0x030C0000
    version = dict_version(dict);
    return true;
#else
    return false;
#endif
}

PyObject* RememberedEntry::get(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX < 0x030C0000
    uint64_t version = dict_version(dict);
    if (dict == dict_ && version == version_) return value_;
    value_ = entry(dict, key);
    dict_ = dict;
    version_ = version;
    return value_;
#else
    return entry(dict, key);
#endif
}

PyObject* RememberedClassEntry::get(PyTypeObject* type, PyObject* name) {
    auto* as_object = reinterpret_cast<PyObject*>(type);
    unsigned int version = attribute_version(as_object);
    if (version != 0 && type == type_ && version == version_) return value_;
    value_ = _PyType_Lookup(type, name);
    type_ = type;
    version_ = attribute_version(as_object);  // the lookup gives the type a version when it has none
    return value_;
}

bool function_unchanged(PyObject* candidate) {
    if (!active()) return false;
    const Shortcuts::Captures& state = captures();
    for (size_t i = 0; i < state.function_count; ++i)
        if (state.functions[i].function.object == candidate) return state.functions[i].unchanged();
    return false;
}

bool from_value_unchanged(PyObject* enumeration) {
    const StrEnumeration* captured = find(enumeration);
    return captured != nullptr && active() && captured->from_value_unchanged();
}

PyObject* known_member(PyObject* enumeration, PyObject* value) { return find(enumeration)->member_for(value); }

PyObject* from_value_name() { return shared_names().from_value; }

Ref member_value(PyObject* member) {
    const StrEnumeration* captured = find(reinterpret_cast<PyObject*>(Py_TYPE(member)));
    if (captured != nullptr && active() && captured->value_unchanged()) return getattr(member, shared_names().stored_value);
    return getattr(member, shared_names().value);
}

Ref class_attribute(PyObject* enumeration, PyObject* name) {
    const StrEnumeration* captured = find(enumeration);
    if (captured != nullptr && active())
        if (PyObject* found = captured->plain_attribute(name)) return Ref::borrow(found);
    return getattr(enumeration, name);
}

Ref deepcopy(PyObject* deepcopy, PyObject* record) {
    const CopyModule& copy = copy_module();
    if (copy.deepcopy.is(deepcopy) && PyDict_CheckExact(record) && active() && copy.unchanged())
        if (Ref duplicate = copy_record(record)) return duplicate;
    return call(deepcopy, record);
}

}  // namespace quorvel::fast_paths
