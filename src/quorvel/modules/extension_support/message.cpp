#include "message.hpp"

#include "call.hpp"

#include <unordered_map>

namespace quorvel {

Ref format_value(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

namespace {

// The str of a literal text piece, decoded at its first use and kept for the process (borrowed).
PyObject* literal_text(const char* text) {
    static auto* decoded = new std::unordered_map<const char*, PyObject*>();  // never destroyed
    auto [place, added] = decoded->try_emplace(text, nullptr);
    if (added) {
        place->second = PyUnicode_FromString(text);
        if (place->second == nullptr) {
            decoded->erase(place);
            throw_error_set();
        }
    }
    return place->second;
}

}  // namespace

Ref concat(std::initializer_list<Piece> pieces) {
    static PyObject* empty = check(PyUnicode_FromString(""));
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t index = 0;
    for (const Piece& piece : pieces) {
        PyObject* part = piece.text != nullptr ? Py_NewRef(literal_text(piece.text)) : format_value(piece.value).release();
        PyTuple_SET_ITEM(parts.get(), index++, part);
    }
    return Ref::steal(PyUnicode_Join(empty, parts.get()));
}

}  // namespace quorvel
