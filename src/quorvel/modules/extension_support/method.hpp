// Methods and module-level functions described by data: a MethodEntry names a method or a
// function, its parameters with their annotations, its docstring and its result rule, and takes
// the parameters' types from the implementation's signature; the function object built from it
// binds arguments with the interpreter's own messages, runs the implementation and turns a thrown
// PyErrorSet into NULL plus a traceback entry.
#pragma once

#include "arguments.hpp"

#include <array>
#include <source_location>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace quorvel {

// What a method may return besides None (checked after the call).
enum class ResultType { Any, Str, Dict };

constexpr size_t kMaxSlots = 24;  // self plus the parameters of the longest method
constexpr size_t kMaxConverted = 4;  // float parameters (converted by the binder) of one method

struct Param {
    const char* name;
    const char* annotation = nullptr;  // the annotation text, or nullptr when the parameter has none
};

// The bound arguments: self first for a method, then the parameters in declaration order, then
// the *args tuple when there is one (all borrowed). Returns the result or throws PyErrorSet.
using MethodImpl = Ref (*)(PyObject* const* args);
// Returns the defaults tuple as a new reference (computed when the class is created).
using DefaultsFactory = Ref (*)();

// A row of a class table (or of a module's functions). The rows state what Python sees of a
// method; method<impl, params>() (function<impl, params>()) completes a row from the
// implementation's signature.
struct MethodEntry {
    const char* name;  // as written; a class-private method name ("__x") is mangled into its key
    Py_ssize_t ndefaults = 0;         // trailing parameters with a default
    DefaultsFactory defaults = nullptr;  // nullptr: every default is None
    const char* doc = nullptr;
    const char* return_annotation = nullptr;
    ResultType result = ResultType::Any;

    // Filled in by method<>() or function<>():
    bool takes_self = true;                // a method: self comes before the parameters
    std::span<const Param> params = {};    // after self, without *args
    std::span<const ArgType> types = {};   // the test of each of `params`
    const char* varargs = nullptr;         // name of a trailing *args parameter, or nullptr
    MethodImpl impl = nullptr;
    int line = 0;  // line of the row in the class table, shown in traceback entries
};

namespace binding {

template <class F>
struct Signature;

template <class T>
constexpr ArgType type_of() {
    if constexpr (std::is_same_v<T, Self>)
        return ArgType::Object;  // not tested
    else
        return T::type;
}

template <class R, class... Args>
struct Signature<R (*)(Args...)> {
    using Result = R;
    using Arguments = std::tuple<Args...>;
    static constexpr std::array<ArgType, sizeof...(Args)> arg_types = {type_of<Args>()...};
    static constexpr bool takes_self = std::is_same_v<std::tuple_element_t<0, std::tuple<Args..., void>>, Self>;
    static constexpr size_t first_param = takes_self ? 1 : 0;
    static constexpr size_t nparams = sizeof...(Args) - first_param;
    static constexpr const ArgType* types = arg_types.data() + first_param;
    static constexpr bool has_varargs = nparams > 0 && arg_types[sizeof...(Args) - 1] == ArgType::VarArgs;
    static constexpr bool self_elsewhere = ((std::is_same_v<Args, Self> ? 1 : 0) + ... + 0) != (takes_self ? 1 : 0);
    static constexpr size_t nconverted = ((type_of<Args>() == ArgType::Float ? 1 : 0) + ... + 0);
};

// Whether an annotation names the type a parameter is tested for; Object takes none of theirs.
constexpr bool annotation_fits(ArgType type, const char* annotation) {
    if (annotation == nullptr || type == ArgType::VarArgs) return true;
    std::string_view text = annotation;
    ArgType named = text == "str"                                 ? ArgType::Str
                    : text == "int"                               ? ArgType::Int
                    : text == "float"                             ? ArgType::Float
                    : text == "dict" || text.starts_with("Dict[") ? ArgType::Dict
                    : text == "list" || text.starts_with("List[") ? ArgType::List
                                                                  : ArgType::Object;
    return named == (type == ArgType::FloatOrNone ? ArgType::Float : type);
}

template <class Impl, class Params>
constexpr bool annotations_fit(const Params& params) {
    for (size_t i = 0; i < std::size(params); ++i)
        if (!annotation_fits(Impl::types[i], params[i].annotation)) return false;
    return true;
}

// Calls `impl` with the bound arguments wrapped in its parameter types; None when it returns void.
template <auto impl>
Ref invoke(PyObject* const* args) {
    using Args = typename Signature<decltype(impl)>::Arguments;
    return [args]<size_t... I>(std::index_sequence<I...>) {
        if constexpr (std::is_void_v<typename Signature<decltype(impl)>::Result>) {
            impl(std::tuple_element_t<I, Args>(args[I])...);
            return Ref::borrow(Py_None);
        } else {
            return impl(std::tuple_element_t<I, Args>(args[I])...);
        }
    }(std::make_index_sequence<std::tuple_size_v<Args>>{});
}

inline constexpr std::array<Param, 0> no_params{};

// The row of `impl`, whose parameters after Self (if `is_method`) are one typed parameter for each
// entry of `params`, the last one possibly VarArgs.
template <auto impl, const auto& params, bool is_method>
constexpr MethodEntry complete(MethodEntry row, std::source_location where) {
    using Impl = Signature<decltype(impl)>;
    constexpr size_t nparams = std::size(params);
    static_assert(Impl::takes_self == is_method, "a method's implementation takes Self first, a function's none");
    static_assert(!Impl::self_elsewhere, "Self can only be the first parameter");
    static_assert(Impl::nparams == nparams, "the row and the implementation differ in their parameter count");
    static_assert(annotations_fit<Impl>(params), "an annotation disagrees with its parameter's type");
    static_assert(Impl::first_param + nparams <= kMaxSlots, "too many parameters for a compiled function");
    static_assert(Impl::nconverted <= kMaxConverted, "too many float parameters for a compiled function");
    constexpr size_t ndeclared = nparams - (Impl::has_varargs ? 1 : 0);
    row.takes_self = is_method;
    row.params = std::span<const Param>(std::data(params), ndeclared);
    row.types = std::span<const ArgType>(Impl::types, ndeclared);
    row.varargs = Impl::has_varargs ? params[ndeclared].name : nullptr;
    row.impl = invoke<impl>;
    row.line = static_cast<int>(where.line());
    return row;
}

}  // namespace binding

// The class-table row of `impl`, a function taking Self and then one typed parameter for each
// entry of `params` (the last may be VarArgs), returning Ref or void. The row and the function
// must agree: the same number of parameters, and annotations that name the tested types.
template <auto impl, const auto& params = binding::no_params>
constexpr MethodEntry method(MethodEntry row, std::source_location where = std::source_location::current()) {
    return binding::complete<impl, params, true>(row, where);
}

// The row of a module-level function `impl`, made as method<>() makes a method's, without Self.
template <auto impl, const auto& params = binding::no_params>
constexpr MethodEntry function(MethodEntry row, std::source_location where = std::source_location::current()) {
    return binding::complete<impl, params, false>(row, where);
}

// Where a class's methods (or a module's functions) come from, for __module__, __qualname__ and
// traceback entries.
struct ClassInfo {
    const char* module_name;  // "quorvel.modules.matcher.matcher"
    const char* class_name;   // "Matcher"; nullptr for a module's functions
    const char* source_file;  // "src/quorvel/modules/matcher/matcher"
};

// Creates the class as a class statement would: type(name, (object,), namespace) with
// __module__, __qualname__ and the methods in the given order. Returns a new reference.
Ref make_class(const ClassInfo& info, std::span<const MethodEntry> methods);

// The function object of a row: a module-level function (function<>()), or a method (method<>())
// to put in a type's namespace. Returns a new reference.
Ref make_function(const ClassInfo& info, const MethodEntry& entry);

// "Expected %s, got %.200s" unless `result` is exactly `type` or None.
void check_result_type(PyObject* result, PyTypeObject* type);

}  // namespace quorvel
