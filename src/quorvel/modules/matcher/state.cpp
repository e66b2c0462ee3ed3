// Constructor, the per-instrument tick table, trade ids and the book lock.
#include "matcher_module.hpp"

#include "../extension_support/fast_paths.hpp"

#include <iterator>
#include <mutex>

namespace quorvel::matcher {

void raise_exception(std::initializer_list<Piece> message) {
    PyErr_SetObject(PyExc_Exception, concat(message).get());
    throw_error_set();
}

BookLock::BookLock() {
    if (state->book_mutex.try_lock()) return;
    PyThreadState* thread_state = PyEval_SaveThread();
    std::unique_lock<std::recursive_mutex> held;
    try {
        held = std::unique_lock<std::recursive_mutex>(state->book_mutex);
    } catch (...) {
        PyEval_RestoreThread(thread_state);
        throw;
    }
    // Taking the GIL back can end a daemon thread at shutdown: `held` then gives the lock up.
    PyEval_RestoreThread(thread_state);
    held.release();
}

BookLock::~BookLock() { state->book_mutex.unlock(); }

void init(Self self, Object positions) {
    setattr(self, names->pending_orders, new_list().get());
    setattr(self, names->response_queue, call(global_attr(names->queue, names->Queue).get()).get());
    setattr(self, names->pending_order_queue, call(global_attr(names->queue, names->Queue).get()).get());
    setattr(self, names->current_tick_infos, new_dict().get());
    setattr(self, names->positions, is_true(positions) ? positions : call(global(names->Positions).get()).get());
    Ref account_info = new_dict();
    setitem(account_info.get(), names->account_id, new_str("BT-00001").get());
    setattr(self, names->account_info, account_info.get());
    Ref exchange_info = new_dict();
    setitem(exchange_info.get(), names->name, new_str("DARQ Backtest Exchange").get());
    setattr(self, names->exchange_info, exchange_info.get());
    Ref thread = call_in_order({global(names->Thread), getattr(self, names->_Matcher__receive_pending_order),
                                Ref::borrow(Py_True)},
                               names->thread_kwnames);
    call_method(thread.get(), names->start);
    register_intake_thread(self, thread.get());
}

Ref init_current_tick_info(Self, Str) {
    Ref record = new_dict();
    setitem(record.get(), names->ts, Py_None);
    setitem(record.get(), names->tick, Py_None);
    return record;
}

Ref get_random_uuid(Self) {
    Ref size = Ref::steal(PyLong_FromLong(16));
    return call_kw(global(names->generate).get(), names->size_kwnames, size);
}

void reset_tick_infos(Self self) { setattr(self, names->current_tick_infos, new_dict().get()); }

namespace {

// self.<name> read natively (new reference) from the attributes of an exact Matcher, no class
// attribute being named `name`, while shortcuts are active: an empty Ref when that cannot be
// done, or when the attributes do not hold `name`.
Ref own_attribute(PyObject* self, PyObject* name, fast_paths::RememberedAttribute& remembered) {
    PyTypeObject* type = Py_TYPE(self);
    if (type != state->matcher_class || type->tp_getattro != PyObject_GenericGetAttr ||
        remembered.on_class.get(type, name) != nullptr || !fast_paths::active())
        return Ref();
    Ref attributes = Ref::steal_or_null(PyObject_GenericGetDict(self, nullptr));
    if (!attributes) throw_error_set();
    return Ref::borrow(remembered.on_instance.get(attributes.get(), name));
}

// dict.get(key) (borrowed or nullptr); throws when the lookup itself fails.
PyObject* found_in(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) throw_error_set();
    return value;
}

// Whether releasing `value` runs no Python code: None, a bool, an exact int, float or str.
bool plain_value(PyObject* value) {
    return value == Py_None || PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyUnicode_CheckExact(value);
}

// Whether a table entry replaced now (`value`, or nullptr for none) goes without running Python
// code: it lives on elsewhere, or it is a plain value, or an exact dict of exact-str keys whose
// values are plain or live on (a tick as the feed builds it). A value the dict holds under
// several keys lives on only if more references to it are held than the dict has entries.
bool released_quietly(PyObject* value) {
    if (value == nullptr || Py_REFCNT(value) > 1 || plain_value(value)) return true;
    if (!PyDict_CheckExact(value)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *entry;
    while (PyDict_Next(value, &position, &key, &entry))
        if (!PyUnicode_CheckExact(key) || (!plain_value(entry) && Py_REFCNT(entry) <= PyDict_GET_SIZE(value)))
            return false;
    return true;
}

// Steps 1 to 3 of set_current_tick as written: each reads the tick's code and the attribute
// current_tick_infos afresh.
void update_tick_table(PyObject* self, PyObject* tick) {
    auto tick_info = [&] {
        return getitem(getattr(self, names->current_tick_infos).get(), getitem(tick, names->code).get());
    };
    {
        Ref code = getitem(tick, names->code);
        Ref infos = getattr(self, names->current_tick_infos);
        if (!check_status(PySequence_Contains(infos.get(), code.get()))) {
            Ref record = call_method(self, names->_Matcher__init_current_tick_info, code);
            setitem(getattr(self, names->current_tick_infos).get(), getitem(tick, names->code).get(), record.get());
        }
    }
    setitem(tick_info().get(), names->tick, tick);
    Ref timestamp = getitem(tick, names->timestamp);
    setitem(tick_info().get(), names->ts, timestamp.get());
}

// The record of `code` as the native update last wrote it into `infos`, or nullptr when the
// table or the record has changed since (or dicts offer no versions).
const State::WrittenRecord* written_record(PyObject* infos, PyObject* code) {
    State::WrittenTable& table = state->written;
    uint64_t version;
    if (!fast_paths::dict_version(infos, version)) return nullptr;
    if (infos != table.infos || version != table.version) {
        table.infos = infos;
        table.version = version;
        table.count = 0;
        return nullptr;
    }
    for (size_t i = 0; i < table.count; ++i) {
        const State::WrittenRecord& written = table.records[i];
        uint64_t record_version;
        if (written.code.get() == code)
            return fast_paths::dict_version(written.record, record_version) && record_version == written.version
                       ? &written
                       : nullptr;
    }
    return nullptr;
}

// Remembers what was written into `code`'s record of the table written_record last saw.
void remember_written(PyObject* code, PyObject* record, PyObject* tick, PyObject* ts) {
    State::WrittenTable& table = state->written;
    uint64_t version;
    if (!fast_paths::dict_version(record, version)) return;
    State::WrittenRecord written{Ref::borrow(code), record, version, tick, ts};
    for (size_t i = 0; i < table.count; ++i)
        if (table.records[i].code.get() == code) {
            table.records[i] = std::move(written);
            return;
        }
    table.records[table.count < std::size(table.records) ? table.count++ : 0] = std::move(written);
}

// Steps 1 to 3 of set_current_tick done natively, giving the tick's code (borrowed), for an exact
// Matcher whose current_tick_infos comes from its own attributes (no class attribute of that
// name) as an exact dict holding an exact-dict record for the tick's exact-str code, the tick
// carrying its "timestamp", and the record's entries released quietly when replaced. The steps as
// written then read the same dicts and write the same two entries, and no Python code runs
// between their reads, so each read once (or known from the last writes, while the dicts keep
// their versions) gives what reading it afresh gives. nullptr when only the steps as written can
// say: a code's first tick (its record is made by __init_current_tick_info), a missing key,
// another type anywhere, a watching tool.
PyObject* tick_table_updated(PyObject* self, PyObject* tick) {
    Ref infos_attribute = own_attribute(self, names->current_tick_infos, state->remembered.tick_infos);
    PyObject* infos = infos_attribute.get();
    PyObject* code = found_in(tick, names->code);
    if (infos == nullptr || !PyDict_CheckExact(infos) || code == nullptr || !PyUnicode_CheckExact(code))
        return nullptr;
    PyObject* timestamp = found_in(tick, names->timestamp);
    const State::WrittenRecord* written = written_record(infos, code);
    PyObject* record = written != nullptr ? written->record : found_in(infos, code);
    if (record == nullptr || !PyDict_CheckExact(record) || timestamp == nullptr) return nullptr;
    PyObject* old_tick = written != nullptr ? written->tick : found_in(record, names->tick);
    PyObject* old_ts = written != nullptr ? written->ts : found_in(record, names->ts);
    if (!released_quietly(old_tick) || !released_quietly(old_ts)) return nullptr;
    setitem(record, names->tick, tick);
    setitem(record, names->ts, timestamp);
    remember_written(code, record, tick, timestamp);
    return code;
}

// positions.set_current_tick(tick), which is `self.last_prices[tick["code"]] = float(tick["close"])`,
// done natively (true) while that method is still the one captured, unchanged, reached by plain
// attribute lookup on an exact Positions, and the values are of the exact types for which the
// native steps are the same steps: an exact-dict last_prices, an exact-str code and an exact-float
// close, which float() gives back as it is. `known_code` is the tick's code when it was read
// with no Python code run since (nullptr: it is read here). False when only the real call can say.
bool keep_last_price(PyObject* positions, PyObject* tick, PyObject* known_code) {
    PyTypeObject* type = Py_TYPE(positions);
    State::Remembered& remembered = state->remembered;
    if (type != state->position_keeper || type->tp_getattro != PyObject_GenericGetAttr ||
        !fast_paths::function_unchanged(remembered.keeper_method.on_class.get(type, names->set_current_tick)) ||
        remembered.last_prices.on_class.get(type, names->last_prices) != nullptr)
        return false;
    Ref attributes = Ref::steal_or_null(PyObject_GenericGetDict(positions, nullptr));
    if (!attributes) throw_error_set();
    if (remembered.keeper_method.on_instance.get(attributes.get(), names->set_current_tick) != nullptr) return false;
    PyObject* last_prices = remembered.last_prices.on_instance.get(attributes.get(), names->last_prices);
    PyObject* code = known_code != nullptr ? known_code : PyDict_GetItemWithError(tick, names->code);
    PyObject* close = PyDict_GetItemWithError(tick, names->close);
    if (PyErr_Occurred()) throw_error_set();
    if (last_prices == nullptr || !PyDict_CheckExact(last_prices) || code == nullptr || !PyUnicode_CheckExact(code) ||
        close == nullptr || !PyFloat_CheckExact(close))
        return false;
    setitem(last_prices, code, close);
    return true;
}

}  // namespace

Ref matcher_attribute(PyObject* self, PyObject* name, fast_paths::RememberedAttribute& remembered) {
    Ref found = own_attribute(self, name, remembered);
    return found ? found : getattr(self, name);
}

void capture_position_keeper() {
    Ref keeper = global(names->Positions);
    if (!PyType_Check(keeper.get())) return;
    state->position_keeper = reinterpret_cast<PyTypeObject*>(keeper.release());  // kept for the process
    fast_paths::capture_function(_PyType_Lookup(state->position_keeper, names->set_current_tick), {"float"});
}

void set_current_tick(Self self, Dict tick) {
    // The tick's code, while it is known that no Python code has run since it was read.
    PyObject* code = tick_table_updated(self, tick);
    if (code == nullptr) update_tick_table(self, tick);
    Ref positions = own_attribute(self, names->positions, state->remembered.positions);
    if (!positions) {
        code = nullptr;
        positions = getattr(self, names->positions);
    }
    if (!keep_last_price(positions.get(), tick, code)) call_method(positions.get(), names->set_current_tick, tick);
}

}  // namespace quorvel::matcher
