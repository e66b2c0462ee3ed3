// The door through which the backtest engines use the feed: loads watched day by day, and the
// runs of a Ticker observed, stopped and joined. It is a second module of the ticker's library,
// quorvel.modules.ticker.feed (PyInit_feed, loaded by feed.py over the ticker's file), so it
// shares the ticker's names, namespace and code while the ticker module's own namespace stays
// exactly what it is.
#include "ticker_module.hpp"

#include "../extension_support/native_type.hpp"

#include <chrono>

namespace quorvel::ticker {

namespace {

constexpr const char* kSourceFile = "src/quorvel/modules/ticker/feed";

// A Ticker's run between observe() and stop(): the ObservedRun object observe() returns.
struct ObservedRun {
    Ref ticker;   // held, so that its id names it until the run is stopped
    Ref threads;  // list of the feed threads made for it
    Ref loads;    // list of (start_from, end_to, frame) of the loads ended and not yet taken
    DayWatch watch;

    int visit(visitproc visit, void* arg) const {
        Py_VISIT(ticker.get());
        Py_VISIT(threads.get());
        Py_VISIT(loads.get());
        Py_VISIT(watch.on_day.get());
        return 0;
    }
};

// Made when the module body first runs; process-wide, never released.
struct FeedState {
    PyObject* ticker_class;   // Ticker, as the ticker module made it
    PyObject* observed_runs;  // dict: id(ticker) -> its ObservedRun
    PyTypeObject* run_type;   // ObservedRun
};

FeedState* feed_state = nullptr;

// How many permits a stopped run's threads get at a time, and how long each join waits for them.
constexpr int kPermitsPerRelease = 256;
constexpr double kJoinPollSeconds = 0.05;

ObservedRun& run_in(PyObject* run) { return native_value<ObservedRun>(run, feed_state->run_type, "ObservedRun"); }

// id(ticker), the key of its observed run.
Ref run_key(PyObject* ticker) { return Ref::steal(PyLong_FromVoidPtr(ticker)); }

// The ticker's observed run (a new reference), or an empty Ref.
Ref find_run(PyObject* ticker) {
    PyObject* run = PyDict_GetItemWithError(feed_state->observed_runs, run_key(ticker).get());
    if (run == nullptr && PyErr_Occurred()) throw_error_set();
    return Ref::borrow(run);
}

void check_ticker(PyObject* ticker) {
    if (check_status(PyObject_IsInstance(ticker, feed_state->ticker_class))) return;
    PyErr_Format(PyExc_TypeError, "Argument 'ticker' has incorrect type (expected Ticker, got %.200s)",
                 Py_TYPE(ticker)->tp_name);
    throw_error_set();
}

void check_on_day(PyObject* on_day) {
    if (on_day == Py_None || PyCallable_Check(on_day)) return;
    PyErr_Format(PyExc_TypeError, "on_day must be callable or None, not %.200s", Py_TYPE(on_day)->tp_name);
    throw_error_set();
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Lets a stopped run's threads go on to their end: permits to take, and the ticks they release
// dropped from the tick queue.
void release_feed(PyObject* ticker) {
    for (int i = 0; i < kPermitsPerRelease; ++i) call_method(ticker, names->allow_next_tick);
    call_method(getattr(getattr(ticker, names->tick_queue).get(), names->queue).get(), names->clear);
}

// Ends the run's threads, waiting until `deadline` at most.
void wind_down(PyObject* ticker, const ObservedRun& run, double deadline) {
    Py_ssize_t count = PyList_GET_SIZE(run.threads.get());
    if (count == 0) return;
    call_method(ticker, names->stop_send_ticks);
    Ref poll = new_float(kJoinPollSeconds);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref thread = Ref::borrow(PyList_GET_ITEM(run.threads.get(), i));
        while (is_true(call_method(thread.get(), names->is_alive).get()) && seconds_now() < deadline) {
            release_feed(ticker);
            call_method(thread.get(), names->join, poll);
        }
    }
}

// The names of the run's threads still alive.
Ref running_thread_names(const ObservedRun& run) {
    Ref running = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(run.threads.get()); ++i) {
        Ref thread = Ref::borrow(PyList_GET_ITEM(run.threads.get(), i));
        if (is_true(call_method(thread.get(), names->is_alive).get()))
            check_status(PyList_Append(running.get(), getattr(thread.get(), names->name).get()));
    }
    return running;
}

Ref load(Object ticker, List codes, Str start_from, Str end_to, Object on_day) {
    check_ticker(ticker);
    check_on_day(on_day);
    DayWatch watch{Ref::borrow(on_day)};
    return combine_period(ticker, codes, start_from, end_to, &watch, Merge::keeping_file_order);
}

Ref observe(Object ticker, Object on_day) {
    check_ticker(ticker);
    check_on_day(on_day);
    if (find_run(ticker)) raise(PyExc_RuntimeError, "this Ticker's feed is observed already; stop() its run first");
    Ref run = new_native(feed_state->run_type,
                         new ObservedRun{Ref::borrow(ticker), new_list(), new_list(), DayWatch{Ref::borrow(on_day)}});
    setitem(feed_state->observed_runs, run_key(ticker).get(), run.get());
    return run;
}

Ref take_loads(Self self) {
    ObservedRun& run = run_in(self);
    Ref fresh = new_list();
    Ref taken = std::move(run.loads);
    run.loads = std::move(fresh);
    return taken;
}

Ref stop(Self self, Float timeout_arg) {
    ObservedRun& run = run_in(self);
    PyObject* ticker = run.ticker.get();
    double timeout = PyFloat_AS_DOUBLE(timeout_arg.get());
    // Loads still under way, or starting meanwhile, end before their next day.
    run.watch.stop_requested = true;
    double deadline = seconds_now() + timeout;
    run_finally([&] { wind_down(ticker, run, deadline); },
                [&] {
                    if (find_run(ticker).get() == self.get())
                        check_status(PyDict_DelItem(feed_state->observed_runs, run_key(ticker).get()));
                });
    return running_thread_names(run);
}

constexpr const char* kDoorDoc =
    "The tick feed's door for the backtest engines.\n"
    "\n"
    "Loads of a period through the feed's own cache, checks and merge, watched day by day;\n"
    "and the runs of a Ticker observed while they load and send, then stopped and joined.\n"
    "\n"
    "A day watcher is called as on_day(code, date, rows) after each day of an instrument is\n"
    "loaded: the code as listed, the day as \"%Y-%m-%d\" and the day's row count. A true result\n"
    "ends the load there, which then gives the empty merged frame (the codes met so far stay\n"
    "in the Ticker's code_market_map). What on_day raises leaves the load.";

const ClassInfo door_functions = {"quorvel.modules.ticker.feed", nullptr, kSourceFile};

constexpr const char* kOnDay = "Optional[Callable[[str, str, int], Optional[bool]]]";
constexpr Param load_params[] = {{"ticker", "Ticker"}, {"codes", "List[Dict[str, str]]"}, {"start_from", "str"},
                                 {"end_to", "str"}, {"on_day", kOnDay}};
constexpr Param observe_params[] = {{"ticker", "Ticker"}, {"on_day", kOnDay}};
constexpr Param stop_params[] = {{"timeout", "float"}};

constexpr MethodEntry load_entry = function<load, load_params>({.name = "load",
    .doc = "The ticks of the instruments `codes` over the period, merged into one frame sorted by\n"
           "\"ts\", then \"code\": the frame the ticker's sending run replays, through the same cache\n"
           "and checks; rows equal in both keep the order of their day file (the feed's own merge\n"
           "leaves their order open). A period of one day (start_from == end_to) gives that trading\n"
           "day of every listed instrument, merged as the whole period's load orders it, so the days\n"
           "of a period loaded one by one follow each other as the period's rows do. `on_day` watches\n"
           "each day loaded (see the module's docstring), or is None.",
    .return_annotation = "pl.DataFrame"});

constexpr MethodEntry observe_entry = function<observe, observe_params>({.name = "observe",
    .doc = "Observe the ticker's feed for a run, until the ObservedRun returned is stopped: every load\n"
           "the ticker makes (send_ticks' own and the backfill thread's) is watched by `on_day` (or None)\n"
           "and its frame kept for take_loads(), and every feed thread it starts is recorded for stop().\n"
           "Ticks and statuses are delivered as without it. RuntimeError if the ticker is observed already.",
    .return_annotation = "ObservedRun"});

const ClassInfo run_info = {"quorvel.modules.ticker.feed", "ObservedRun", kSourceFile};

constexpr MethodEntry run_methods[] = {
    method<take_loads>({.name = "take_loads",
        .doc = "The loads of the run ended since the last call, in the order they ended: a list of\n"
               "(start_from, end_to, frame), the frame being the very one the load gave to its sending run\n"
               "(send_ticks' own or the backfill thread's).",
        .return_annotation = "List[Tuple[str, str, pl.DataFrame]]"}),
    method<stop, stop_params>({.name = "stop",
        .doc = "End the run and join its feed threads, `timeout` seconds at most in all: loads under way\n"
               "end before their next day, the sending run is stopped (stop_send_ticks), and permits are\n"
               "granted, the ticks they release dropped, until the threads end. The ticker is no longer\n"
               "observed afterwards. Returns the names of the threads still running, empty when all ended.",
        .return_annotation = "List[str]"}),
};

// ObservedRun is made by observe() only.
Ref refuse_run(Object) { raise(PyExc_TypeError, "an ObservedRun is made by observe(ticker, on_day)"); }

constexpr Param refuse_params[] = {{"ticker", "Ticker"}};
constexpr MethodEntry run_constructor = function<refuse_run, refuse_params>({.name = "ObservedRun"});

PyType_Slot run_slots[] = {
    QUORVEL_NATIVE_SLOTS(ObservedRun),
    {Py_tp_doc, const_cast<char*>("A Ticker's run observed through the feed's door, as observe() returns it.")},
    {0, nullptr},
};

PyType_Spec run_spec = {"quorvel.modules.ticker.feed.ObservedRun", sizeof(NativeObject<ObservedRun>), 0,
                        kNativeTypeFlags, run_slots};

// The module body: the ticker module first (its body makes the names and the namespace the
// door works with), then the door's functions.
void exec_feed(PyObject* module) {
    Ref ticker_module = Ref::steal(check(PyImport_ImportModule("quorvel.modules.ticker.ticker")));
    // The class the ticker's body made, whatever the module's name `Ticker` is bound to now.
    if (feed_state == nullptr) {
        Ref run_type = make_native_type(run_info, run_spec, run_constructor, run_methods);
        feed_state = new FeedState{state->ticker_class, new_dict().release(),
                                   reinterpret_cast<PyTypeObject*>(run_type.release())};
    }
    check_status(PyModule_SetDocString(module, kDoorDoc));
    for (const MethodEntry* entry : {&load_entry, &observe_entry}) {
        Ref function = make_function(door_functions, *entry);
        check_status(PyModule_AddObject(module, entry->name, function.get()));
        function.release();
    }
    check_status(PyModule_AddObject(module, "ObservedRun", Py_NewRef(reinterpret_cast<PyObject*>(feed_state->run_type))));
}

ModuleLoader loader = {"feed", "quorvel.modules.ticker.feed", kSourceFile, exec_feed};

}  // namespace

Ref observed_run(PyObject* ticker) {
    if (feed_state == nullptr) return Ref();  // the door was never loaded
    return find_run(ticker);
}

DayWatch* day_watch_of(const Ref& run) { return run ? &run_in(run.get()).watch : nullptr; }

void record_load(const Ref& run, PyObject* start_from, PyObject* end_to, PyObject* frame) {
    if (run) check_status(PyList_Append(run_in(run.get()).loads.get(), tuple(start_from, end_to, frame).get()));
}

void record_feed_thread(PyObject* ticker, PyObject* thread) {
    Ref run = observed_run(ticker);
    if (run) check_status(PyList_Append(run_in(run.get()).threads.get(), thread));
}

}  // namespace quorvel::ticker

PyMODINIT_FUNC PyInit_feed() { return quorvel::init_module<quorvel::ticker::loader>(); }
