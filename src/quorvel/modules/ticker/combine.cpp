// Tick combining: the ticks of several instruments over a period, day by day through the
// cache, merged into one frame sorted by time and code.
#include "ticker_module.hpp"

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
    Ref all_dfs = new_list();
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
                    Ref df = call_method(self, names->_Ticker__auto_fetch_ticks, code, market, date);
                    Ref rows = row_count(df.get());
                    if (positive(rows.get())) check_status(PyList_Append(all_dfs.get(), df.get()));
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
    if (PyList_GET_SIZE(all_dfs.get()) == 0) return empty_combined_frame(self);
    Ref all_df = call(global_attr(names->pl, names->concat).get(), all_dfs);
    Ref sort_keys = Ref::steal(PySequence_List(names->sort_keys));
    if (merge == Merge::keeping_file_order)
        return call_kw(getattr(all_df.get(), names->sort).get(), names->maintain_order_kwnames, sort_keys,
                       Ref::borrow(Py_True));
    return call_method(all_df.get(), names->sort, sort_keys);
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
