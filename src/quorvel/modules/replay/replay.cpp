// The replay module: the road of a tick (road.hpp) and the bar builder (bars.hpp) as native
// types, the one road both engines take for every tick of a run.
#include "../extension_support/module.hpp"
#include "../extension_support/native_type.hpp"
#include "replay_module.hpp"
#include "road.hpp"

#include <cmath>
#include <utility>

namespace quorvel::replay {

State* state = nullptr;

namespace {

constexpr const char* kSourceFile = "src/quorvel/modules/replay/replay";

using RoadObject = NativeObject<Road>;
using BarsObject = NativeObject<BarBuilder>;

void check_callable(PyObject* value, const char* name, bool none_allowed = false) {
    if (PyCallable_Check(value) || (none_allowed && value == Py_None)) return;
    PyErr_Format(PyExc_TypeError, "%s must be callable%s, not %.200s", name, none_allowed ? " or None" : "",
                 Py_TYPE(value)->tp_name);
    throw_error_set();
}

void check_sized(PyObject* value, const char* name) {
    if (PyObject_Size(value) >= 0) return;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s must have a length (a deque), not %.200s", name, Py_TYPE(value)->tp_name);
    throw_error_set();
}

// BarBuilder(seconds, session_span)
Ref new_bar_builder(Float seconds_arg, Object session_span) {
    double seconds = PyFloat_AS_DOUBLE(seconds_arg.get());
    if (!(seconds > 0 && std::isfinite(seconds))) raise(PyExc_ValueError, "a bar lasts a positive, finite number of seconds");
    check_callable(session_span, "session_span");
    return new_native(state->bar_builder_type, new BarBuilder(state->bar_names, seconds, session_span));
}

// TickRoad(...): the hooks checked, then the road made.
Ref new_road(Object set_current_tick, Object match_deal, Object reports, Object take_reports, Object owed,
             Object deliver, List current, Object watched, Object before_match, Object after_match, Object warm_up,
             Object on_tick, Object sample, Int equity_every_arg, Object trading_day_of, Float day_rollover,
             Object pass_closes, Object bars, Object on_bar, Object progress, Object cursor, Object fills) {
    const std::pair<PyObject*, const char*> required[] = {
        {set_current_tick, "set_current_tick"}, {match_deal, "match_deal"}, {take_reports, "take_reports"},
        {deliver, "deliver"},         {before_match, "before_match"}, {after_match, "after_match"},
        {sample, "sample"},           {trading_day_of, "trading_day_of"}, {pass_closes, "pass_closes"}};
    for (const auto& [value, name] : required) check_callable(value, name);
    check_callable(warm_up, "warm_up", true);
    check_callable(on_tick, "on_tick", true);
    check_callable(progress, "progress", true);
    check_sized(reports, "reports");
    check_sized(owed, "owed");
    if (PyList_GET_SIZE(current.get()) != 1) raise(PyExc_ValueError, "current must be a list of one item");
    if (!PySet_CheckExact(watched.get())) raise(PyExc_TypeError, "watched must be a set");
    Py_ssize_t equity_every = PyLong_AsSsize_t(equity_every_arg);
    if (equity_every == -1 && PyErr_Occurred()) throw_error_set();
    if (equity_every < 1) raise(PyExc_ValueError, "equity_every must be at least 1");
    BarBuilder* builder = nullptr;
    if (bars != Py_None) {
        builder = &native_value<BarBuilder>(bars, state->bar_builder_type, "BarBuilder or None for bars");
        check_callable(on_bar, "on_bar");
    }
    const FillsApi* fills_api = nullptr;
    if (fills != Py_None) {
        fills_api = static_cast<const FillsApi*>(PyCapsule_Import(kFillsApiCapsule, 0));
        if (fills_api == nullptr) throw_error_set();
        if (!fills_api->is_fills(fills)) raise(PyExc_TypeError, "fills must be a QueueFills or None");
    }
    RoadHooks hooks{Ref::borrow(set_current_tick), Ref::borrow(match_deal), Ref::borrow(fills), Ref::borrow(reports),
                    Ref::borrow(take_reports),     Ref::borrow(owed),       Ref::borrow(deliver),
                    Ref::borrow(current),          Ref::borrow(watched),    Ref::borrow(before_match),
                    Ref::borrow(after_match),      Ref::borrow(warm_up),    Ref::borrow(on_tick),
                    Ref::borrow(bars),             Ref::borrow(on_bar),     Ref::borrow(sample),
                    equity_every,                  Ref::borrow(trading_day_of), PyFloat_AS_DOUBLE(day_rollover.get()),
                    Ref::borrow(pass_closes),      Ref::borrow(progress),   Ref::borrow(cursor)};
    return new_native(state->road_type, new Road(std::move(hooks), builder, fills_api));
}

Road& road_of(PyObject* self) { return native_value<Road>(self, state->road_type, "TickRoad"); }

void road_replay(Self self, Object frame, Dict market_map, Object format_timestamp, Object is_backfilling) {
    if (!PyBool_Check(is_backfilling.get())) raise(PyExc_TypeError, "is_backfilling must be a bool");
    road_of(self).replay(frame, market_map, format_timestamp, is_backfilling.get() == Py_True);
}

void road_take(Self self, Dict tick) { road_of(self).take(tick); }

void road_follow(Self self, Object frame) { road_of(self).follow(frame); }

void road_wake(Self self, Float moment) { road_of(self).wake(PyFloat_AS_DOUBLE(moment.get())); }

void road_close_bars(Self self) { road_of(self).close_bars(); }

void road_settle(Self self) { road_of(self).settle(); }

template <Py_ssize_t (Road::*count)() const>
PyObject* get_count(PyObject* self, void*) {
    const Road* road = as_native<Road>(self)->value;
    return PyLong_FromSsize_t(road != nullptr ? (road->*count)() : 0);
}

const ClassInfo road_info = {"quorvel.modules.replay.replay", "TickRoad", kSourceFile};
const ClassInfo bars_info = {"quorvel.modules.replay.replay", "BarBuilder", kSourceFile};

constexpr Param road_params[] = {
    {"set_current_tick", "Callable[[Dict[str, Any]], object]"},
    {"match_deal", "Callable[[str, float, int, float], object]"},
    {"reports", "Sized"},
    {"take_reports", "Callable[[], object]"},
    {"owed", "Sized"},
    {"deliver", "Callable[[], object]"},
    {"current", "List[Any]"},
    {"watched", "Set[str]"},
    {"before_match", "Callable[[Dict[str, Any]], object]"},
    {"after_match", "Callable[[Dict[str, Any]], object]"},
    {"warm_up", "Optional[Callable[[Dict[str, Any]], object]]"},
    {"on_tick", "Optional[Callable[[Dict[str, Any]], object]]"},
    {"sample", "Callable[[float, bool], bool]"},
    {"equity_every", "int"},
    {"trading_day_of", "Callable[[float], object]"},
    {"day_rollover", "float"},
    {"pass_closes", "Callable[[float], float]"},
    {"bars", "Optional[BarBuilder]"},
    {"on_bar", "Optional[Callable[[Dict[str, Any]], object]]"},
    {"progress", "Optional[Callable[[int], object]]"},
    {"cursor", "Any"},
    {"fills", "Optional[QueueFills]"},
};
constexpr Param replay_params[] = {
    {"frame", "pl.DataFrame"}, {"market_map", "Dict[str, str]"}, {"format_timestamp", "Callable[[int, int], float]"},
    {"is_backfilling", "bool"}};
constexpr Param take_params[] = {{"tick", "Dict[str, Any]"}};
constexpr Param follow_params[] = {{"frame", "pl.DataFrame"}};
constexpr Param wake_params[] = {{"moment", "float"}};
constexpr Param bars_params[] = {{"seconds", "float"}, {"session_span", "Callable[[str, float], Tuple[float, float]]"}};

constexpr MethodEntry road_constructor = function<new_road, road_params>({.name = "TickRoad", .ndefaults = 5,
    .doc = "The road of a tick through the matcher and the strategy, the same for every tick of a run.",
    .return_annotation = "None"});

constexpr MethodEntry road_methods[] = {
    method<road_replay, replay_params>({.name = "replay",
        .doc = "Take the rows of `frame` (a tick frame: code, ts, close, volume, tick_type) down the road,\n"
               "each as the feed's tick dict of its phase (market_map names each code's market,\n"
               "format_timestamp makes its timestamp).",
        .return_annotation = "None"}),
    method<road_take, take_params>({.name = "take",
        .doc = "Take one tick dict the feed sent down the road.",
        .return_annotation = "None"}),
    method<road_follow, follow_params>({.name = "follow",
        .doc = "The frame the ticks to take() come from, from its first row on: a fill model reads their quotes.",
        .return_annotation = "None"}),
    method<road_wake, wake_params>({.name = "wake",
        .doc = "Something is due at `moment` besides the closes: pass_closes is asked at the first tick after it.",
        .return_annotation = "None"}),
    method<road_close_bars>({.name = "close_bars",
        .doc = "Give every bar still open to on_bar (the end of a phase); later ticks start new bars.",
        .return_annotation = "None"}),
    method<road_settle>({.name = "settle",
        .doc = "Sample the last live tick as its trading day's end, unless it was sampled (the run's end).",
        .return_annotation = "None"}),
};

constexpr MethodEntry bars_constructor = function<new_bar_builder, bars_params>({.name = "BarBuilder",
    .doc = "Bars of `seconds`, counted from the start of each span session_span(code, moment) gives.",
    .return_annotation = "None"});

PyGetSetDef road_getset[] = {
    {"live_ticks", get_count<&Road::live_ticks>, nullptr, "Live ticks taken so far.", nullptr},
    {"backfill_ticks", get_count<&Road::backfill_ticks>, nullptr, "Backfill ticks taken so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kRoadDoc =
    "TickRoad(set_current_tick, match_deal, reports, take_reports, owed, deliver, current, watched,\n"
    "         before_match, after_match, warm_up, on_tick, sample, equity_every, trading_day_of,\n"
    "         day_rollover, pass_closes, bars=None, on_bar=None, progress=None, cursor=None,\n"
    "         fills=None)\n"
    "\n"
    "The road of a tick: each tick arrives (the day before sampled at its end, the closes passed,\n"
    "the quote cursor moved on), is matched, its reports taken, its bars given, the strategy\n"
    "called and its reports delivered, and every equity_every-th live tick sampled.";

PyType_Slot road_slots[] = {
    QUORVEL_NATIVE_SLOTS(Road),
    {Py_tp_doc, const_cast<char*>(kRoadDoc)},
    {Py_tp_getset, road_getset},
    {0, nullptr},
};

PyType_Slot bars_slots[] = {
    QUORVEL_NATIVE_SLOTS(BarBuilder),
    {Py_tp_doc, const_cast<char*>("BarBuilder(seconds, session_span)\n\nThe bars a TickRoad builds of its ticks.")},
    {0, nullptr},
};

PyType_Spec road_spec = {"quorvel.modules.replay.replay.TickRoad", sizeof(RoadObject), 0, kNativeTypeFlags, road_slots};
PyType_Spec bars_spec = {"quorvel.modules.replay.replay.BarBuilder", sizeof(BarsObject), 0, kNativeTypeFlags,
                         bars_slots};

// The module body: the namespace bindings, then the types.
void exec_replay(PyObject* module) {
    if (state == nullptr) state = new State();
    ModuleNamespace& ns = state->ns;
    ns.bind(module);
    ns.import_module("polars", "pl");
    ns.import_from("quorvel.utils", {"format_nano_ts_to_second_ts"});
    capture_timestamp_formatter(global(names->format_nano_ts_to_second_ts).get());
    Ref bar_builder = make_native_type(bars_info, bars_spec, bars_constructor, {});
    state->bar_builder_type = reinterpret_cast<PyTypeObject*>(bar_builder.get());
    Ref road = make_native_type(road_info, road_spec, road_constructor, road_methods);
    state->road_type = reinterpret_cast<PyTypeObject*>(road.get());
    ns.set("BarBuilder", bar_builder.get());
    ns.set("TickRoad", road.get());
}

ModuleLoader loader = {"replay", "quorvel.modules.replay.replay", kSourceFile, exec_replay};

}  // namespace
}  // namespace quorvel::replay

quorvel::SharedState& quorvel::shared_state() { return *replay::state; }

PyMODINIT_FUNC PyInit_replay() { return quorvel::init_module<quorvel::replay::loader>(); }
