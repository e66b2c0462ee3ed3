// The parameter types of a bound implementation. Each holds a borrowed argument that the binder has
// tested (the caller's references outlive the call) and converts to PyObject* wherever one is
// expected; its type names the test, so the function's signature states it.
#pragma once

#include "ref.hpp"

namespace quorvel {

// The binder's test for a parameter. Exact-type tests refuse subclasses; None passes only where
// the default is None. Float converts anything float() accepts to an exact float first;
// FloatOrNone is an exact test.
enum class ArgType { Object, Str, Int, Dict, List, Float, FloatOrNone, VarArgs };

// A borrowed argument.
class Arg {
public:
    explicit Arg(PyObject* obj) : obj_(obj) {}
    PyObject* get() const { return obj_; }
    operator PyObject*() const { return obj_; }

private:
    PyObject* obj_;
};

template <ArgType test>
struct Tested : Arg {
    using Arg::Arg;
    static constexpr ArgType type = test;
};

using Object = Tested<ArgType::Object>;            // any object
using Str = Tested<ArgType::Str>;                  // exactly str
using Int = Tested<ArgType::Int>;                  // exactly int (bool is refused)
using Dict = Tested<ArgType::Dict>;                // exactly dict
using List = Tested<ArgType::List>;                // exactly list
using Float = Tested<ArgType::Float>;              // exactly float, converted by the binder
using FloatOrNone = Tested<ArgType::FloatOrNone>;  // exactly float, or None
using VarArgs = Tested<ArgType::VarArgs>;          // the tuple of a trailing *args parameter

// The instance a method is called on (not tested).
struct Self : Arg {
    using Arg::Arg;
};

}  // namespace quorvel
