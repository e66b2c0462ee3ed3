// Messages built from pieces of text and values, as an f-string builds them.
#pragma once

#include "arguments.hpp"
#include "ref.hpp"

#include <initializer_list>

namespace quorvel {

// One piece of a message: fixed UTF-8 text, or a value inserted as by format(value). Text pieces
// are string literals: each is decoded once and its str kept, found by the literal's address.
struct Piece {
    template <size_t N>
    Piece(const char (&text)[N]) : text(text) {}
    Piece(PyObject* value) : value(value) {}
    Piece(const Ref& value) : value(value.get()) {}
    Piece(const Arg& value) : value(value.get()) {}
    const char* text = nullptr;
    PyObject* value = nullptr;
};

// format(value): a str unchanged, anything else through its __format__ with an empty format.
Ref format_value(PyObject* value);

// The pieces concatenated into one str.
Ref concat(std::initializer_list<Piece> pieces);

}  // namespace quorvel
