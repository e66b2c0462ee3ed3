#include "message.hpp"

#include "call.hpp"
#include "shared_state.hpp"

namespace quorvel {

Ref format_value(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

namespace {

// The str of a literal text piece, decoded at its first use and kept for the process (borrowed).
PyObject* literal_text(const char* text) {
    auto& decoded = shared_state().literal_texts;
    auto [place, added] = decoded.try_emplace(text, nullptr);
    if (added) {
        place->second = PyUnicode_FromString(text);
        if (place->second == nullptr) {
            decoded.erase(place);
            throw_error_set();
        }
    }
    return place->second;
}

// A piece's str (new reference).
Ref piece_text(const Piece& piece) {
    if (piece.literal != nullptr) return Ref::borrow(literal_text(piece.literal));
    if (piece.runtime != nullptr) return new_str(piece.runtime);
    return format_value(piece.value);
}

}  // namespace

Ref concat(std::initializer_list<Piece> pieces) {
    Ref parts = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
    Py_ssize_t index = 0;
    for (const Piece& piece : pieces) PyTuple_SET_ITEM(parts.get(), index++, piece_text(piece).release());
    return Ref::steal(PyUnicode_Join(shared_names().empty, parts.get()));
}

}  // namespace quorvel
