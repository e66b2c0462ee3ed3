// Console lines, messages and error records, built the same way by both modules.
#pragma once

#include "arguments.hpp"
#include "module.hpp"
#include "ref.hpp"

#include <initializer_list>
#include <utility>

namespace quorvel {

// One piece of a message: fixed UTF-8 text, or a value inserted as by format(value).
struct Piece {
    Piece(const char* text) : text(text) {}
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

// console.print(text), with `console` looked up in the module namespace before the text is built.
void console_print(const ModuleNamespace& ns, std::initializer_list<Piece> pieces);

// The exception of an `except` clause: fetched from the error indicator and made the handled
// exception (what sys.exc_info() and traceback.format_exc() see) until the scope ends.
class HandledException {
public:
    HandledException();
    ~HandledException() noexcept(false);
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;

    PyObject* value() const { return value_.get(); }
    bool matches(PyObject* type) const;
    // str(e)
    Ref text() const;
    // `raise`: sets this exception again, with its traceback, and throws PyErrorSet.
    [[noreturn]] void reraise() const;

private:
    Ref type_, value_, traceback_;
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

// True when the pending error is an Exception (not an exit request or an interrupt).
bool pending_error_is_exception();

// Runs one step of a failure report; if the step itself raises an Exception (a console that
// rejects the text, a logger that fails), that is written as unraisable and the report goes on.
template <class Step>
void guarded(Step step) {
    try {
        step();
    } catch (const PyErrorSet&) {
        if (!pending_error_is_exception()) throw;
        PyErr_WriteUnraisable(nullptr);
    }
}

// How an error record that json.dumps refuses is handled: raised to the caller, or written with
// the refused details as their repr (for a loop that must go on whatever its input held).
enum class Serialisation { Strict, ReprFallback };

// logger.error(json.dumps({"error": str(e), "traceback": traceback.format_exc(), **details})),
// with `logger`, `json` and `traceback` looked up in the module namespace.
void log_error_record(const ModuleNamespace& ns, const HandledException& error,
                      std::initializer_list<std::pair<const char*, PyObject*>> details,
                      Serialisation serialisation = Serialisation::Strict);

}  // namespace quorvel
