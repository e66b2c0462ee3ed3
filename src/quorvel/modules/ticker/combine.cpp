// Tick combining: the ticks of several instruments over a period, day by day through the
// cache, merged into one frame sorted by time and code.
#include "ticker_module.hpp"

#include "../extension_support/fast_paths.hpp"

#include <vector>

namespace quorvel::ticker {

namespace {

// A day that keeps failing is given up after this many attempts and its last error raised, so
// a wrong code or an unreachable API fails the load instead of holding it for ever.
constexpr int kAttemptsPerDay = 3;

// The empty combined frame: the schema's columns followed by "code".
Ref empty_combined_frame(PyObject* self) {
    Ref schema_attr = getattr(self, names->tick_df_schema);
    if (schema_attr.get() == Py_None) raise(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    Ref schema = new_dict();
    check_status(PyDict_Merge(schema.get(), schema_attr.get(), 1));
    setitem(schema.get(), names->code, global_attr(names->pl, names->String).get());
    return call_kw(global_attr(names->pl, names->DataFrame).get(), names->schema_kwnames, schema);
}

// The `except Exception as e` clause of one failed attempt: error record, then the red line.
void report_failed_day(const HandledException& error, PyObject* code, PyObject* date, PyObject* current_date) {
    Ref data = new_dict();
    setitem(data.get(), names->code, code);
    setitem(data.get(), names->date, call_method(current_date, names->timestamp).get());
    log_error_record(error, {{"data", data.get()}});
    console_print({"[red]下載 ", code, " ", date, " 的 Tick 資料失敗, 錯誤訊息: ", error.value(), "[/red]"});
}

// One instrument's day as the merge takes it: its frame, and the code the merge adds as its
// "code" column, or an empty Ref when the frame holds that column already.
struct DayPart {
    Ref frame;
    Ref code;
};

// Whether self.__auto_fetch_ticks is the method the module body made, found on the class (not
// set on the instance, nor rebound on the class or a subclass): its day is then the cache's or
// the broker's frame with the code column added, which the door's merge may add itself. Only
// while shortcuts are active; otherwise the method is called.
bool fetches_own_days(PyObject* self) {
    if (!fast_paths::active()) return false;
    Method found = method(self, names->_Ticker__auto_fetch_ticks);
    return found.self && found.function.get() == state->own_auto_fetch_ticks;
}

DayPart load_day(PyObject* self, PyObject* code, PyObject* market, PyObject* date, Merge merge) {
    if (merge == Merge::keeping_file_order && fetches_own_days(self))
        return {day_ticks(self, code, market, date), Ref::borrow(code)};
    return {call_method(self, names->_Ticker__auto_fetch_ticks, code, market, date), Ref()};
}

// The door's merge: the code columns added, the frames concatenated and sorted by "ts", then
// "code", keeping the frames' order for rows equal in both, in one polars plan. Collecting it
// is the merge's one call that lets go of the interpreter's lock: each such call of a day loading
// in a thread beside the replay waits to get the lock back, up to its 5 ms switch interval. It
// runs on the in-memory engine, which the eager calls it stands for use.
Ref merged_in_one_plan(const std::vector<DayPart>& parts) {
    Ref plans = new_list();
    for (const DayPart& part : parts) {
        Ref plan = call_method(part.frame.get(), names->lazy);
        if (part.code) plan = call_method(plan.get(), names->with_columns, code_column(part.code.get()));
        check_status(PyList_Append(plans.get(), plan.get()));
    }
    Ref all = call(global_attr(names->pl, names->concat).get(), plans);
    Ref sort_keys = Ref::steal(PySequence_List(names->sort_keys));
    Ref sorted = call_kw(getattr(all.get(), names->sort).get(), names->maintain_order_kwnames, sort_keys,
                         Ref::borrow(Py_True));
    return call_kw(getattr(sorted.get(), names->collect).get(), names->engine_kwnames, names->in_memory);
}

// The feed's own merge, in the calls it has always made: concatenation, then polars' default sort.
Ref merged_by_default_sort(const std::vector<DayPart>& parts) {
    Ref frames = new_list();
    for (const DayPart& part : parts) check_status(PyList_Append(frames.get(), part.frame.get()));
    Ref all_df = call(global_attr(names->pl, names->concat).get(), frames);
    Ref sort_keys = Ref::steal(PySequence_List(names->sort_keys));
    return call_method(all_df.get(), names->sort, sort_keys);
}

}  // namespace

bool DayWatch::ends_after(PyObject* code, PyObject* date, PyObject* rows) const {
    if (stop_requested) return true;  // a stopped run is told of no further day
    if (on_day.get() == Py_None) return false;
    return is_true(call(on_day.get(), code, date, rows).get());
}

Ref combine_period(PyObject* self, PyObject* codes, PyObject* start_from_text, PyObject* end_to_text,
                   DayWatch* watch, Merge merge) {
    Ref start_from = call(global(names->format_to_dt).get(), start_from_text);
    Ref end_to = call(global(names->format_to_dt).get(), end_to_text);
    std::vector<DayPart> parts;  // the days with ticks, in load order
    Ref entries = Ref::steal(PyObject_GetIter(codes));
    while (Ref entry = Ref::steal_or_null(PyIter_Next(entries.get()))) {
        Ref code = getitem(entry.get(), names->code);
        Ref market = getitem(entry.get(), names->market);
        {
            Ref markets = getattr(self, names->code_market_map);
            if (!check_status(PySequence_Contains(markets.get(), code.get())))
                setitem(getattr(self, names->code_market_map).get(), code.get(), market.get());
        }
        Ref current_date = start_from;
        Ref date;
        int failed_attempts = 0;
        while (compare(current_date.get(), end_to.get(), Py_LE)) {
            if (watch != nullptr && watch->stop_requested) return empty_combined_frame(self);
            feed_checkpoint();
            console_print({"[yellow]正在取得 ", code, " ",
                           call_method(current_date.get(), names->strftime, names->day_format),
                           " 的 Tick 資料...[/yellow]"});
            Ref day_rows;  // set once the day is loaded
            catch_exception(
                [&] {
                    date = call_method(current_date.get(), names->strftime, names->day_format);
                    DayPart part = load_day(self, code.get(), market.get(), date.get(), merge);
                    Ref rows = row_count(part.frame.get());
                    if (positive(rows.get())) parts.push_back(std::move(part));
                    current_date = Ref::steal(PyNumber_InPlaceAdd(current_date.get(), one_day().get()));
                    failed_attempts = 0;
                    day_rows = rows;
                },
                [&](HandledException& error) {
                    report_failed_day(error, code.get(), date ? date.get() : Py_None, current_date.get());
                    if (++failed_attempts == kAttemptsPerDay) error.reraise();
                });
            if (day_rows && watch != nullptr && watch->ends_after(code.get(), date.get(), day_rows.get()))
                return empty_combined_frame(self);
        }
    }
    if (PyErr_Occurred()) throw_error_set();
    if (parts.empty()) return empty_combined_frame(self);
    return merge == Merge::keeping_file_order ? merged_in_one_plan(parts) : merged_by_default_sort(parts);
}

Ref process_and_combine_ticks(Self self, List codes, Str start_from, Str end_to) {
    Ref run = observed_run(self);
    Ref frame = combine_period(self, codes, start_from, end_to, day_watch_of(run), Merge::default_sort);
    record_load(run, start_from, end_to, frame.get());
    return frame;
}

Ref get_ticks_df(Self self, Str code, Object market_type, Str start_from, Str end_to) {
    Ref entry = new_dict();
    setitem(entry.get(), names->code, code);
    setitem(entry.get(), names->market, market_type);
    Ref codes = Ref::steal(Py_BuildValue("[O]", entry.get()));
    return call_method(self, names->_Ticker__process_and_combine_ticks, codes, start_from, end_to);
}

}  // namespace quorvel::ticker
