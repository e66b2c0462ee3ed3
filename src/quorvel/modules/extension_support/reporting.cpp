#include "reporting.hpp"

#include "call.hpp"
#include "shared_state.hpp"

namespace quorvel {

void console_print(std::initializer_list<Piece> pieces) {
    const SharedNames& n = shared_names();
    call_in_order({method(global(n.console).get(), n.print), concat(pieces)});
}

namespace {

// json.dumps(record), then json.dumps(record, default=repr), then the record with every
// detail replaced by its repr: the first text that serialises wins.
Ref dump_record_with_fallback(PyObject* dumps, PyObject* record,
                              std::initializer_list<std::pair<const char*, PyObject*>> details) {
    const SharedNames& n = shared_names();
    Ref text;
    if (attempt([&] { text = call(dumps, record); })) return text;
    PyErr_Clear();
    if (attempt([&] { text = call_kw(dumps, n.default_kwnames, record, global(n.repr)); })) return text;
    PyErr_Clear();
    for (const auto& [key, value] : details) setitem(record, intern(key).get(), Ref::steal(PyObject_Repr(value)).get());
    return call(dumps, record);
}

}  // namespace

void log_error_record(const HandledException& error, std::initializer_list<std::pair<const char*, PyObject*>> details,
                      Serialisation serialisation) {
    const SharedNames& n = shared_names();
    // In the order of logger.error(json.dumps({...})): the callee, then the record.
    Ref log_error = getattr(global(n.logger).get(), n.error);
    Ref dumps = getattr(global(n.json).get(), n.dumps);
    Ref record = new_dict();
    setitem(record.get(), n.error, error.text().get());
    setitem(record.get(), n.traceback, call_method(global(n.traceback).get(), n.format_exc).get());
    for (const auto& [key, value] : details) setitem(record.get(), intern(key).get(), value);
    Ref text = serialisation == Serialisation::Strict ? call(dumps.get(), record)
                                                      : dump_record_with_fallback(dumps.get(), record.get(), details);
    call(log_error.get(), text);
}

}  // namespace quorvel
