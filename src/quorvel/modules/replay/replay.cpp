// The replay loop: the rows of a combined tick frame walked natively, each turned into the feed's
// tick dictionary and handed to the matcher and the strategy on the caller's thread, with no
// thread or queue in between. The engine in quorvel.backtest.replay supplies the callbacks; the
// strategy's bars are built on the way (bars.hpp).
#include "../extension_support/columns.hpp"
#include "../extension_support/errors.hpp"
#include "../extension_support/method.hpp"
#include "../extension_support/module.hpp"
#include "../extension_support/shared_state.hpp"
#include "../extension_support/tick_dict.hpp"
#include "bars.hpp"
#include "row_cursor.hpp"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace quorvel::replay {

namespace {

// Every attribute, key and module-level name the loop uses.
#define QUORVEL_REPLAY_NAMES(NAME, TEXT, TUPLE)                                                     \
    NAME(code) NAME(ts) NAME(close) NAME(volume) NAME(tick_type) NAME(is_backfilling) NAME(market_map) \
    NAME(format_timestamp) NAME(set_current_tick) NAME(match_deal) NAME(responses) NAME(take_reports) \
    NAME(react) NAME(owed) NAME(deliver) NAME(current) NAME(sample_rows) NAME(sample) NAME(checkpoint) \
    NAME(watched) NAME(before_match) NAME(after_match) NAME(bars) NAME(on_bar) NAME(session_span)   \
    NAME(cursor)                                                                                   \
    NAME(pl) NAME(DataFrame) NAME(Int64) NAME(Float64) NAME(String) NAME(format_nano_ts_to_second_ts)

struct Names {
    QUORVEL_REPLAY_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

// The module's state: made when the module body first runs, process-wide and never released.
struct State : SharedState {
    Names names;
    TickDicts tick_dicts{shared_names};
    BarNames bar_names;
};

State* state = nullptr;

constexpr StateNames<state> names{};

// Rows converted to Python values at a time: the loop holds them all, so a slice costs few calls.
constexpr Py_ssize_t kSliceRows = 1 << 16;

// Signals (Ctrl-C) are looked at, and the progress callback called, every this many ticks.
constexpr Py_ssize_t kCheckpointEvery = 4096;

constexpr const char* kBarsCapsuleName = "quorvel.modules.replay.replay.BarBuilder";

// source.name, or None when it has no such attribute.
Ref optional_attr(PyObject* source, PyObject* name) {
    Ref found = Ref::steal_or_null(PyObject_GetAttr(source, name));
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    return none();
}

// The builder a bar_builder() capsule holds; nullptr for None.
BarBuilder* builder_in(PyObject* bars) {
    if (bars == Py_None) return nullptr;
    if (!PyCapsule_IsValid(bars, kBarsCapsuleName)) raise(PyExc_TypeError, "hooks.bars must be None or a bar_builder()");
    return static_cast<BarBuilder*>(PyCapsule_GetPointer(bars, kBarsCapsuleName));
}

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
          watched(getattr(source, names->watched)),
          before_match(getattr(source, names->before_match)),
          after_match(getattr(source, names->after_match)),
          bars(optional_attr(source, names->bars)),
          builder(builder_in(bars.get())),
          on_bar(builder != nullptr ? getattr(source, names->on_bar) : none()),
          session_span(builder != nullptr ? getattr(source, names->session_span) : none()),
          cursor(optional_attr(source, names->cursor).get()),
          is_backfilling(is_true(getattr(source, names->is_backfilling).get())),
          sample_rows(ascending_rows(getattr(source, names->sample_rows).get())) {
        if (!PyList_CheckExact(current.get()) || PyList_GET_SIZE(current.get()) != 1)
            raise(PyExc_TypeError, "hooks.current must be a list of one item");
        if (!PySet_CheckExact(watched.get())) raise(PyExc_TypeError, "hooks.watched must be a set");
    }

    // Whether the engine watches `code`: an empty set (the usual case) costs no lookup.
    bool watches(PyObject* code) const {
        if (PySet_GET_SIZE(watched.get()) == 0) return false;
        int found = PySet_Contains(watched.get(), code);
        if (found < 0) throw_error_set();
        return found != 0;
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
    Ref checkpoint;        // checkpoint(ticks done) every kCheckpointEvery ticks and at the end
    Ref watched;           // the set of codes whose ticks also go to before_match and after_match
    Ref before_match;      // before_match(tick), before the tick is matched
    Ref after_match;       // after_match(tick), once its reports are taken
    Ref bars;              // a bar_builder(), or None (or no such attribute): no bars
    BarBuilder* builder;   // the builder that `bars` holds, or nullptr
    Ref on_bar;            // on_bar(bar) for each bar given out, before the tick's react
    Ref session_span;      // session_span(code, moment) -> (origin, due), asked once per code and span
    RowCursor cursor;      // where the row of the tick replayed is written, if given
    bool is_backfilling;
    std::vector<Py_ssize_t> sample_rows;  // the rows after which to sample, strictly ascending

private:
    static std::vector<Py_ssize_t> ascending_rows(PyObject* rows) {
        if (!PyList_CheckExact(rows)) raise(PyExc_TypeError, "hooks.sample_rows must be a list");
        std::vector<Py_ssize_t> ascending;
        ascending.reserve(static_cast<size_t>(PyList_GET_SIZE(rows)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
            Py_ssize_t row = PyLong_AsSsize_t(PyList_GET_ITEM(rows, i));
            if (row == -1 && PyErr_Occurred()) throw_error_set();
            if (row < 0 || (!ascending.empty() && row <= ascending.back()))
                raise(PyExc_ValueError, "hooks.sample_rows must be row numbers in strictly ascending order");
            ascending.push_back(row);
        }
        return ascending;
    }
};

bool has_items(PyObject* container) {
    Py_ssize_t size = PyObject_Size(container);
    if (size < 0) throw_error_set();
    return size > 0;
}

// Gives each of the `bars` (a list) to on_bar, and after each the reports its operations owe.
void deliver_bars(const Hooks& hooks, PyObject* bars) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bars); ++i) {
        call(hooks.on_bar.get(), PyList_GET_ITEM(bars, i));
        if (has_items(hooks.owed.get())) call(hooks.deliver.get());
    }
}

// The frame's few distinct codes, each kept as one str: the code of a row is replaced by the
// equal str met before, so that the lookups a tick takes reuse its hash. Each code also holds
// the last tick replayed of it (`hold`): when the matcher replaces that tick in its table with
// the next one, the old tick goes on living here until the next one is held, so the matcher's
// replacement releases nothing (and its native table update need not look into the old tick).
class Codes {
public:
    // `code` or the equal str kept (borrowed).
    PyObject* canonical(PyObject* code) {
        if (!PyUnicode_CheckExact(code)) return code;
        for (size_t i = 0; i < count_; ++i)
            if (kept_[i].get() == code || same_text(kept_[i].get(), code)) return kept_[i].get();
        keep(Ref::borrow(code));
        return code;
    }

    // The str of the UTF-8 `text`: the one kept, or a new one (borrowed from here).
    PyObject* canonical(std::string_view text) {
        for (size_t i = 0; i < count_; ++i)
            if (texts_[i] == text) return kept_[i].get();
        latest_ = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
        keep(latest_);
        return latest_.get();
    }

    // Holds `tick` as the last tick of `code` (a kept str), letting the one held before go.
    void hold(PyObject* code, const Ref& tick) {
        for (size_t i = 0; i < count_; ++i)
            if (kept_[i].get() == code) {
                last_ticks_[i] = tick;
                return;
            }
    }

private:
    static constexpr size_t kMaxCodes = 64;

    static bool same_text(PyObject* a, PyObject* b) {
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
    }

    void keep(const Ref& code) {
        if (count_ == kMaxCodes) return;
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(code.get(), &size);  // kept by the str
        if (utf8 == nullptr) throw_error_set();
        texts_[count_] = std::string_view(utf8, static_cast<size_t>(size));
        kept_[count_++] = code;
    }

    Ref kept_[kMaxCodes];
    Ref last_ticks_[kMaxCodes];          // the last tick replayed of each kept str
    std::string_view texts_[kMaxCodes];  // the UTF-8 of each kept str
    size_t count_ = 0;
    Ref latest_;  // the last str made from a text, should the table be full
};

// A row's values as the loop read them: the code as the str kept for it, the ts as an int64
// when read in place (else as the column's list gives it), the other values as objects made
// from their numbers or taken from their lists.
template <class Ts>
class ReplayRow {
public:
    ReplayRow(PyObject* code, Ts ts, Ref close, Ref volume, Ref tick_type)
        : code_(code), ts_(ts), close_(std::move(close)), volume_(std::move(volume)), tick_type_(std::move(tick_type)) {}
    PyObject* code() const { return code_; }
    Ts ts() const { return ts_; }
    const Ref& close() const { return close_; }
    const Ref& volume() const { return volume_; }
    const Ref& tick_type() const { return tick_type_; }

private:
    PyObject* code_;
    Ts ts_;
    Ref close_, volume_, tick_type_;
};

// The frame's rows with their running count: a tick counts as done once the matcher has
// taken it and its reports are taken, before the strategy sees it, as the paced driver counts.
class Replay {
public:
    Replay(const Hooks& hooks, PyObject* frame) : hooks_(hooks) {
        Ref frame_type = global_attr(names->pl, names->DataFrame);
        Ref int64 = global_attr(names->pl, names->Int64);
        Ref float64 = global_attr(names->pl, names->Float64);
        Ref string = global_attr(names->pl, names->String);
        if (!ColumnReader::suits(frame, frame_type.get(),
                                 {{names->code, string.get()}, {names->ts, int64.get()}, {names->close, float64.get()},
                                  {names->volume, int64.get()}, {names->tick_type, int64.get()}}))
            raise(PyExc_TypeError,
                  "the frame must be a polars DataFrame with columns code (String), ts (Int64), close (Float64), "
                  "volume (Int64) and tick_type (Int64)");
        using Read = ColumnReader::Column::Read;
        columns_.open(frame,
                      {{names->code, Read::InPlaceText}, {names->ts, Read::InPlaceInt64},
                       {names->close, Read::InPlaceFloat64}, {names->volume, Read::InPlaceInt64},
                       {names->tick_type, Read::InPlaceInt64}},
                      kSliceRows);
    }

    void run() {
        size_t next_sample = 0;  // the first of the sample rows not yet reached
        for (Py_ssize_t index = 0; columns_.next(); ++index) {
            hooks_.cursor.point_at(index);
            if (columns_.in_place(kTs))
                replay_tick(ReplayRow<int64_t>(code(), columns_.int64(kTs), close(), integer(kVolume),
                                               integer(kTickType)));
            else
                replay_tick(ReplayRow<PyObject*>(code(), columns_.value(kTs), close(), integer(kVolume),
                                                 integer(kTickType)));
            if (next_sample < hooks_.sample_rows.size() && hooks_.sample_rows[next_sample] == index) {
                ++next_sample;
                call(hooks_.sample.get());
            }
            if (done_ % kCheckpointEvery == 0) {
                report_done();
                check_status(PyErr_CheckSignals());
            }
        }
    }

    // checkpoint(ticks done)
    void report_done() const {
        Ref count = Ref::steal(PyLong_FromSsize_t(done_));
        call(hooks_.checkpoint.get(), count);
    }

private:
    // The columns' numbers, in the order opened.
    static constexpr size_t kCode = 0, kTs = 1, kClose = 2, kVolume = 3, kTickType = 4;

    // The current row's code, as the one str kept for its text.
    PyObject* code() {
        return columns_.in_place(kCode) ? codes_.canonical(columns_.text(kCode)) : codes_.canonical(columns_.value(kCode));
    }

    // The current row's close, the float of its number or the object its list holds.
    Ref close() {
        return columns_.in_place(kClose) ? new_float(columns_.float64(kClose)) : Ref::borrow(columns_.value(kClose));
    }

    // The current row's value of an Int64 column, the int of its number or the object its list holds.
    Ref integer(size_t column) {
        if (!columns_.in_place(column)) return Ref::borrow(columns_.value(column));
        return Ref::steal(PyLong_FromLongLong(columns_.int64(column)));
    }

    // hooks.current[0] = tick, as PyList_SetItem does it (an exact list: Hooks checks it).
    void set_current(const Ref& tick) {
        PyObject* current = hooks_.current.get();
        if (PyList_GET_SIZE(current) == 0) check_status(PyList_SetItem(current, 0, Py_NewRef(tick.get())));
        PyObject* before = PyList_GET_ITEM(current, 0);
        PyList_SET_ITEM(current, 0, Py_NewRef(tick.get()));
        Py_XDECREF(before);
    }

    // One tick's road, in the order the paced driver takes it.
    template <class Row>
    void replay_tick(const Row& row) {
        Ref timestamp;
        Ref tick = state->tick_dicts.make(
            hooks_.market_map.get(), row, [&] { return hooks_.format_timestamp.get(); },
            hooks_.is_backfilling, &timestamp);
        set_current(tick);
        call(hooks_.set_current_tick.get(), tick);
        codes_.hold(row.code(), tick);
        if (hooks_.watches(row.code())) call(hooks_.before_match.get(), tick);
        call(hooks_.match_deal.get(), row.code(), row.close(), row.volume(), timestamp);
        if (has_items(hooks_.responses.get())) call(hooks_.take_reports.get());
        if (hooks_.watches(row.code())) call(hooks_.after_match.get(), tick);
        ++done_;
        if (hooks_.builder != nullptr) take_bars(row, timestamp.get());
        if (hooks_.react.get() != Py_None) call(hooks_.react.get(), tick);
        if (has_items(hooks_.owed.get())) call(hooks_.deliver.get());
    }

    // The bars that the tick's moment makes due, delivered; then the tick added to its code's bar.
    template <class Row>
    void take_bars(const Row& row, PyObject* timestamp) {
        BarBuilder& bars = *hooks_.builder;
        double moment = as_double(timestamp);
        if (bars.has_due(moment)) deliver_bars(hooks_, bars.take_due(moment).get());
        bars.add(row.code(), moment, row.close().get(), row.volume().get(), hooks_.is_backfilling,
                 hooks_.session_span.get());
    }

    const Hooks& hooks_;
    ColumnReader columns_;
    Codes codes_;
    Py_ssize_t done_ = 0;
};

void replay_frame(Object frame, Object hooks_source) {
    const Hooks hooks(hooks_source);
    Replay replay(hooks, frame);
    // The count is reported on the way out too, so that a run stopped mid-frame counts every
    // tick it did.
    run_finally([&] { replay.run(); }, [&] { replay.report_done(); });
}

Ref new_bar_builder(Float seconds_arg) {
    double seconds = PyFloat_AS_DOUBLE(seconds_arg.get());
    if (!(seconds > 0 && std::isfinite(seconds))) raise(PyExc_ValueError, "a bar lasts a positive, finite number of seconds");
    auto* builder = new BarBuilder(state->bar_names, seconds);
    PyObject* capsule = PyCapsule_New(builder, kBarsCapsuleName, [](PyObject* made) {
        delete static_cast<BarBuilder*>(PyCapsule_GetPointer(made, kBarsCapsuleName));
    });
    if (capsule == nullptr) {
        delete builder;
        throw_error_set();
    }
    return Ref::steal(capsule);
}

void close_bars(Object hooks_source) {
    const Hooks hooks(hooks_source);
    if (hooks.builder != nullptr) deliver_bars(hooks, hooks.builder->take_all().get());
}

const ClassInfo replay_functions = {"quorvel.modules.replay.replay", nullptr, "src/quorvel/modules/replay/replay"};

constexpr Param replay_params[] = {{"frame", "pl.DataFrame"}, {"hooks"}};
constexpr Param bar_builder_params[] = {{"seconds", "float"}};
constexpr Param close_bars_params[] = {{"hooks"}};

constexpr MethodEntry replay_ticks = function<replay_frame, replay_params>({.name = "replay_ticks",
    .doc = "Replay the rows of `frame` (a tick frame: code, ts, close, volume, tick_type) through the\n"
           "matcher and the strategy named by `hooks`."});

constexpr MethodEntry bar_builder = function<new_bar_builder, bar_builder_params>({.name = "bar_builder",
    .doc = "A builder of bars `seconds` long, for hooks.bars: replay_ticks then gives each bar that a tick\n"
           "makes due to hooks.on_bar before the tick's react, and adds the tick to its code's bar."});

constexpr MethodEntry close_bars_entry = function<close_bars, close_bars_params>({.name = "close_bars",
    .doc = "Give every bar still open in hooks.bars to hooks.on_bar (the end of a phase); the bars of\n"
           "later ticks start anew."});

// The module body: the namespace bindings, then the functions.
void exec_replay(PyObject* module) {
    if (state == nullptr) state = new State();
    ModuleNamespace& ns = state->ns;
    ns.bind(module);
    ns.import_module("polars", "pl");
    ns.import_from("quorvel.utils", {"format_nano_ts_to_second_ts"});
    capture_timestamp_formatter(global(names->format_nano_ts_to_second_ts).get());
    ns.set("replay_ticks", make_function(replay_functions, replay_ticks).get());
    ns.set("bar_builder", make_function(replay_functions, bar_builder).get());
    ns.set("close_bars", make_function(replay_functions, close_bars_entry).get());
}

ModuleLoader loader = {"replay", "quorvel.modules.replay.replay", "src/quorvel/modules/replay/replay", exec_replay};

}  // namespace
}  // namespace quorvel::replay

quorvel::SharedState& quorvel::shared_state() { return *replay::state; }

PyMODINIT_FUNC PyInit_replay() { return quorvel::init_module<quorvel::replay::loader>(); }
