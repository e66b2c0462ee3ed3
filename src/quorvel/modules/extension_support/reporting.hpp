// This application's conventions for failures and progress: lines for the rich console and JSON
// error records for the log, both through names looked up in the calling module's namespace.
#pragma once

#include "errors.hpp"
#include "message.hpp"

#include <initializer_list>
#include <utility>

namespace quorvel {

// console.print(text), with `console` looked up in the module namespace before the text is built.
void console_print(std::initializer_list<Piece> pieces);

// How an error record that json.dumps refuses is handled: raised to the caller, or written with
// the refused details as their repr (for a loop that must go on whatever its input held).
enum class Serialisation { Strict, ReprFallback };

// logger.error(json.dumps({"error": str(e), "traceback": traceback.format_exc(), **details})),
// with `logger`, `json` and `traceback` looked up in the module namespace.
void log_error_record(const HandledException& error, std::initializer_list<std::pair<const char*, PyObject*>> details,
                      Serialisation serialisation = Serialisation::Strict);

}  // namespace quorvel
