// Interned names, the one way our code makes a name: each module and the shared code list their
// names once, in an X-macro list, and the list becomes a struct whose members are the interned
// str objects, made when the module body first runs and kept for the process.
//
//     #define MY_NAMES(NAME, TEXT, TUPLE) NAME(put) TEXT(call, "__call__") TUPLE(kwnames, "target", "daemon")
//     struct Names { MY_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE) };
//
// NAME(x) is the member x holding "x"; TEXT(member, "text") names a text that is no C++
// identifier (or reads better under another name); TUPLE(member, "a", "b") is a tuple of
// interned names, for the keyword names of a vectorcall.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace quorvel {

// The interned str of `text` (UTF-8); throws PyErrorSet.
Ref intern(const char* text);

// A tuple of the interned `texts`, kept for the process; throws PyErrorSet.
PyObject* interned_tuple(std::initializer_list<const char*> texts);

}  // namespace quorvel

#define QUORVEL_NAME(name) PyObject* const name = ::quorvel::intern(#name).release();
#define QUORVEL_TEXT(member, text) PyObject* const member = ::quorvel::intern(text).release();
#define QUORVEL_TUPLE(member, ...) PyObject* const member = ::quorvel::interned_tuple({__VA_ARGS__});
