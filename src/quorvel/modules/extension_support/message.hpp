// Messages built from pieces of text and values, as an f-string builds them.
#pragma once

#include "arguments.hpp"
#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace quorvel {

// Text made at run time (UTF-8), for a message piece: decoded each time it is used.
struct RuntimeText {
    const char* utf8;
};

// One piece of a message: fixed UTF-8 text, or a value inserted as by format(value).
//
// Fixed text must be a string literal: it is decoded once and its str kept, found again by the
// literal's address. The constructor runs at compile time and reads every character, so only a
// literal (or a constant array) makes a piece: a buffer on the stack, whose address is no constant,
// or a mutable array, whose characters are none, does not compile; pass such text as RuntimeText.
struct Piece {
    template <size_t N>
    consteval Piece(const char (&text)[N]) : literal(text) {
        for (size_t i = 0; i + 1 < N; ++i)
            if (text[i] == '\0') throw "a message literal holds a NUL";  // not a constant expression: refused
        if (text[N - 1] != '\0') throw "a message literal ends with its NUL";
    }
    Piece(RuntimeText text) : runtime(text.utf8) {}
    Piece(PyObject* value) : value(value) {}
    Piece(const Ref& value) : value(value.get()) {}
    Piece(const Arg& value) : value(value.get()) {}

    const char* literal = nullptr;
    const char* runtime = nullptr;
    PyObject* value = nullptr;
};

// format(value): a str unchanged, anything else through its __format__ with an empty format.
Ref format_value(PyObject* value);

// The pieces concatenated into one str.
Ref concat(std::initializer_list<Piece> pieces);

}  // namespace quorvel
