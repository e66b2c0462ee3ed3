// The replay loop: the columns of a combined tick frame walked natively, each row turned into the
// feed's tick dictionary and handed to the matcher and the strategy on the caller's thread, with
// no thread or queue in between. The engine in quorvel.backtest.engine supplies the callbacks.
#include "../extension_support/call.hpp"
#include "timestamp.hpp"

namespace quorvel::replay {

namespace {

// Every attribute and key name the loop uses, interned once.
#define QUORVEL_REPLAY_NAMES(X)                                                                     \
    X(market_type) X(timestamp) X(code) X(close) X(qty) X(tick_type) X(is_simulate) X(is_backfilling) \
    X(market_map) X(format_timestamp) X(set_current_tick) X(match_deal) X(responses) X(take_reports) \
    X(react) X(owed) X(deliver) X(current) X(sample_rows) X(sample) X(checkpoint)

struct Names {
#define QUORVEL_DECLARE_NAME(name) PyObject* name;
    QUORVEL_REPLAY_NAMES(QUORVEL_DECLARE_NAME)
#undef QUORVEL_DECLARE_NAME
};

const Names* names = nullptr;
// quorvel.utils.format_nano_ts_to_second_ts: while the feed uses it, second_ts stands in for it.
PyObject* exact_formatter = nullptr;

// Signals (Ctrl-C) are looked at, and the progress callback called, every this many ticks.
constexpr Py_ssize_t kCheckpointEvery = 4096;

// A frame's columns, in this order: lists of the same length, borrowed from the caller.
enum Column { kCode, kTs, kClose, kVolume, kTickType, kColumns };

// The engine's callbacks and state, read once per call from its hooks object.
struct Hooks {
    explicit Hooks(PyObject* source)
        : market_map(getattr(source, names->market_map)),
          format_timestamp(getattr(source, names->format_timestamp)),
          set_current_tick(getattr(source, names->set_current_tick)),
          match_deal(getattr(source, names->match_deal)),
          responses(getattr(source, names->responses)),
          take_reports(getattr(source, names->take_reports)),
          react(getattr(source, names->react)),
          owed(getattr(source, names->owed)),
          deliver(getattr(source, names->deliver)),
          current(getattr(source, names->current)),
          sample(getattr(source, names->sample)),
          checkpoint(getattr(source, names->checkpoint)),
          sample_rows(getattr(source, names->sample_rows)),
          is_backfilling(is_true(getattr(source, names->is_backfilling).get())) {
        if (!PyList_CheckExact(sample_rows.get())) raise(PyExc_TypeError, "hooks.sample_rows must be a list");
        if (!PyList_CheckExact(current.get()) || PyList_GET_SIZE(current.get()) != 1)
            raise(PyExc_TypeError, "hooks.current must be a list of one item");
    }

    Ref market_map;        // code -> market, the ticker's code_market_map
    Ref format_timestamp;  // the formatter the feed uses now
    Ref set_current_tick;  // the matcher's bound methods
    Ref match_deal;
    Ref responses;         // the report queue's deque: reports are taken while it is not empty
    Ref take_reports;      // takes and delivers them
    Ref react;             // the strategy's warm_up or on_tick, or None
    Ref owed;              // reports not yet given to the strategy
    Ref deliver;           // gives them
    Ref current;           // [the tick being replayed]
    Ref sample;            // sample() after each of the sample rows
    Ref checkpoint;        // checkpoint(number) every kCheckpointEvery ticks
    Ref sample_rows;       // the rows of these columns after which to sample, ascending
    bool is_backfilling;
};

bool has_items(PyObject* container) {
    Py_ssize_t size = PyObject_Size(container);
    if (size < 0) throw_error_set();
    return size > 0;
}

// The tick's "timestamp": format_nano_ts_to_second_ts(ts, 8), natively where that is exact.
Ref tick_timestamp(const Hooks& hooks, PyObject* ts) {
    if (hooks.format_timestamp.get() == exact_formatter && PyLong_CheckExact(ts)) {
        int overflow = 0;
        long long nanoseconds = PyLong_AsLongLongAndOverflow(ts, &overflow);
        if (nanoseconds == -1 && PyErr_Occurred()) throw_error_set();
        double seconds = 0;
        if (overflow == 0 && second_ts(nanoseconds, seconds)) return new_float(seconds);
    }
    Ref digits = Ref::steal(PyLong_FromLong(8));
    return call(hooks.format_timestamp.get(), ts, digits);
}

// The feed's tick dictionary for one row: the same eight keys, in the same order, with the same
// values; the market is looked up before the timestamp is made, as the feed does.
Ref build_tick(const Hooks& hooks, PyObject* const row[kColumns], Ref& timestamp) {
    Ref market = getitem(hooks.market_map.get(), row[kCode]);
    timestamp = tick_timestamp(hooks, row[kTs]);
    Ref tick = new_dict();
    setitem(tick.get(), names->market_type, market.get());
    setitem(tick.get(), names->timestamp, timestamp.get());
    setitem(tick.get(), names->code, row[kCode]);
    setitem(tick.get(), names->close, row[kClose]);
    setitem(tick.get(), names->qty, row[kVolume]);
    setitem(tick.get(), names->tick_type, row[kTickType]);
    setitem(tick.get(), names->is_simulate, Py_False);
    setitem(tick.get(), names->is_backfilling, hooks.is_backfilling ? Py_True : Py_False);
    return tick;
}

// One tick's road, in the order the paced driver takes it.
void replay_tick(const Hooks& hooks, PyObject* const row[kColumns]) {
    Ref timestamp;
    Ref tick = build_tick(hooks, row, timestamp);
    check_status(PyList_SetItem(hooks.current.get(), 0, Py_NewRef(tick.get())));
    call(hooks.set_current_tick.get(), tick);
    call(hooks.match_deal.get(), row[kCode], row[kClose], row[kVolume], timestamp);
    if (has_items(hooks.responses.get())) call(hooks.take_reports.get());
    if (hooks.react.get() != Py_None) call(hooks.react.get(), tick);
    if (has_items(hooks.owed.get())) call(hooks.deliver.get());
}

// The columns as borrowed lists of one length; returns that length.
Py_ssize_t column_lists(PyObject* columns, PyObject* lists[kColumns]) {
    if (!PyTuple_CheckExact(columns) || PyTuple_GET_SIZE(columns) != kColumns)
        raise(PyExc_TypeError, "columns must be a tuple of five lists: code, ts, close, volume, tick_type");
    Py_ssize_t length = -1;
    for (int column = 0; column < kColumns; ++column) {
        lists[column] = PyTuple_GET_ITEM(columns, column);
        if (!PyList_CheckExact(lists[column])) raise(PyExc_TypeError, "columns must be lists");
        if (length == -1) length = PyList_GET_SIZE(lists[column]);
        if (PyList_GET_SIZE(lists[column]) != length) raise(PyExc_ValueError, "columns differ in length");
    }
    return length;
}

void replay_rows(PyObject* columns, PyObject* hooks_source, Py_ssize_t first) {
    const Hooks hooks(hooks_source);
    PyObject* lists[kColumns];
    Py_ssize_t length = column_lists(columns, lists);
    Py_ssize_t next_sample = 0;  // the first of the sample rows not yet reached
    for (Py_ssize_t index = 0; index < length; ++index) {
        // A callback may shrink a list: the row is read afresh, and each item held while in use.
        if (index >= PyList_GET_SIZE(lists[kCode])) break;
        Ref items[kColumns];
        PyObject* row[kColumns];
        for (int column = 0; column < kColumns; ++column) {
            if (index >= PyList_GET_SIZE(lists[column])) raise(PyExc_RuntimeError, "a column changed during the replay");
            items[column] = Ref::borrow(PyList_GET_ITEM(lists[column], index));
            row[column] = items[column].get();
        }
        replay_tick(hooks, row);
        Py_ssize_t number = first + index + 1;
        if (next_sample < PyList_GET_SIZE(hooks.sample_rows.get())) {
            Py_ssize_t sample_row = PyLong_AsSsize_t(PyList_GET_ITEM(hooks.sample_rows.get(), next_sample));
            if (sample_row == -1 && PyErr_Occurred()) throw_error_set();
            if (sample_row == index) {
                ++next_sample;
                call(hooks.sample.get());
            }
        }
        if (number % kCheckpointEvery == 0) {
            Ref count = Ref::steal(PyLong_FromSsize_t(number));
            call(hooks.checkpoint.get(), count);
            check_status(PyErr_CheckSignals());
        }
    }
}

PyObject* replay_ticks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "replay_ticks() takes exactly 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    bool done = run_at_boundary([&] {
        Py_ssize_t first = PyLong_AsSsize_t(args[2]);
        if (first == -1 && PyErr_Occurred()) throw_error_set();
        replay_rows(args[0], args[1], first);
    });
    return done ? Py_NewRef(Py_None) : nullptr;
}

PyMethodDef replay_functions[] = {
    {"replay_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(replay_ticks)), METH_FASTCALL,
     "replay_ticks(columns, hooks, first)\n--\n\n"
     "Replay the rows of `columns` (lists: code, ts, close, volume, tick_type) through the matcher\n"
     "and the strategy named by `hooks`; `first` is the number of ticks of this phase before them."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_replay(PyObject*) {
    if (names != nullptr) return 0;
    return run_at_boundary([&] {
        auto* made = new Names();
#define QUORVEL_MAKE_NAME(name) made->name = check(PyUnicode_InternFromString(#name));
        QUORVEL_REPLAY_NAMES(QUORVEL_MAKE_NAME)
#undef QUORVEL_MAKE_NAME
        Ref utils = Ref::steal(PyImport_ImportModule("quorvel.utils"));
        exact_formatter = check(PyObject_GetAttrString(utils.get(), "format_nano_ts_to_second_ts"));
        names = made;
    }) ? 0 : -1;
}

PyModuleDef_Slot replay_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_replay)},
    {0, nullptr},
};

PyModuleDef replay_def = {PyModuleDef_HEAD_INIT, "replay", "Native tick replay for the backtest engine.", 0,
                          replay_functions, replay_slots, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quorvel::replay

PyMODINIT_FUNC PyInit_replay() { return PyModuleDef_Init(&quorvel::replay::replay_def); }
