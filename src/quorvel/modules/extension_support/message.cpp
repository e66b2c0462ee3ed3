#include "message.hpp"

#include "call.hpp"

namespace quorvel {

Ref format_value(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

Ref concat(std::initializer_list<Piece> pieces) {
    Ref parts = Ref::steal(PyList_New(0));
    for (const Piece& piece : pieces) {
        Ref part = piece.text != nullptr ? new_str(piece.text) : format_value(piece.value);
        check_status(PyList_Append(parts.get(), part.get()));
    }
    Ref empty = new_str("");
    return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

}  // namespace quorvel
