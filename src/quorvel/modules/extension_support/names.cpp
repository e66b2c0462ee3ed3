#include "names.hpp"

namespace quorvel {

Ref intern(const char* text) { return Ref::steal(PyUnicode_InternFromString(text)); }

PyObject* interned_tuple(std::initializer_list<const char*> texts) {
    Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    Py_ssize_t index = 0;
    for (const char* text : texts) PyTuple_SET_ITEM(items.get(), index++, intern(text).release());
    return items.release();
}

}  // namespace quorvel
