#include "reporting.hpp"

#include "call.hpp"

namespace quorvel {

void console_print(const ModuleNamespace& ns, std::initializer_list<Piece> pieces) {
    static PyObject* console_name = check(PyUnicode_InternFromString("console"));
    static PyObject* print_name = check(PyUnicode_InternFromString("print"));
    call_in_order({method(ns.lookup(console_name).get(), print_name), concat(pieces)});
}

namespace {

struct RecordNames {
    PyObject* json = check(PyUnicode_InternFromString("json"));
    PyObject* dumps = check(PyUnicode_InternFromString("dumps"));
    PyObject* traceback = check(PyUnicode_InternFromString("traceback"));
    PyObject* format_exc = check(PyUnicode_InternFromString("format_exc"));
    PyObject* logger = check(PyUnicode_InternFromString("logger"));
    PyObject* error = check(PyUnicode_InternFromString("error"));
    PyObject* default_kwname = Ref::steal(Py_BuildValue("(s)", "default")).release();
    PyObject* repr = Ref::steal(PyObject_GetAttrString(
        Ref::steal(PyImport_ImportModule("builtins")).get(), "repr")).release();
};

const RecordNames& record_names() {
    static const RecordNames* names = new RecordNames();  // process-wide, never released
    return *names;
}

// json.dumps(record), then json.dumps(record, default=repr), then the record with every
// detail replaced by its repr: the first text that serialises wins.
Ref dump_record_with_fallback(PyObject* dumps, PyObject* record,
                               std::initializer_list<std::pair<const char*, PyObject*>> details) {
    const RecordNames& names = record_names();
    Ref text;
    if (attempt([&] { text = call(dumps, record); })) return text;
    PyErr_Clear();
    if (attempt([&] { text = call_kw(dumps, names.default_kwname, record, names.repr); })) return text;
    PyErr_Clear();
    for (const auto& [key, value] : details)
        setitem(record, new_str(key).get(), Ref::steal(PyObject_Repr(value)).get());
    return call(dumps, record);
}

}  // namespace

void log_error_record(const ModuleNamespace& ns, const HandledException& error,
                      std::initializer_list<std::pair<const char*, PyObject*>> details, Serialisation serialisation) {
    const RecordNames& names = record_names();
    // In the order of logger.error(json.dumps({...})): the callee, then the record.
    Ref log_error = getattr(ns.lookup(names.logger).get(), names.error);
    Ref dumps = getattr(ns.lookup(names.json).get(), names.dumps);
    Ref record = new_dict();
    setitem(record.get(), new_str("error").get(), error.text().get());
    Ref traceback = ns.lookup(names.traceback);
    setitem(record.get(), new_str("traceback").get(), call_method(traceback.get(), names.format_exc).get());
    for (const auto& [key, value] : details) setitem(record.get(), new_str(key).get(), value);
    Ref text = serialisation == Serialisation::Strict ? call(dumps.get(), record)
                                                      : dump_record_with_fallback(dumps.get(), record.get(), details);
    call(log_error.get(), text);
}

}  // namespace quorvel
