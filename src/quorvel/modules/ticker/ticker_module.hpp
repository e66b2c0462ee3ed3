// What the ticker's source files share: the interned names, the module namespace and the
// method implementations that the class table in ticker.cpp binds.
#pragma once

#include "../extension_support/call.hpp"
#include "../extension_support/columns.hpp"
#include "../extension_support/errors.hpp"
#include "../extension_support/message.hpp"
#include "../extension_support/reporting.hpp"
#include "../extension_support/timestamps.hpp"
#include "../extension_support/method.hpp"
#include "../extension_support/module.hpp"

namespace quorvel::ticker {

// Every attribute, key, keyword and module-level name the ticker uses, interned once.
#define QUORVEL_TICKER_NAMES(X)                                                                   \
    X(api) X(allow_next_tick_flag_queue) X(backfilling_notify_finish_queue)                       \
    X(backfilling_finish_flag) X(exit_send_thread_flag) X(tick_file_save_path) X(tick_queue)      \
    X(code_market_map) X(tick_df_schema) X(current_send_ticks_params)                             \
    X(_Ticker__generate_save_path) X(_Ticker__make_sino_contract_object)                          \
    X(_Ticker__tick_filename_formatter) X(_Ticker__auto_fetch_ticks)                              \
    X(_Ticker__process_and_combine_ticks) X(_Ticker__notify_backfilling_finish)                   \
    X(_Ticker__push_tick_to_queue) X(fetch_sino_history_ticks) X(backfilling)                     \
    X(cache_files) X(frame_from_answer) X(read_day) X(store_day) X(set_aside) X(CorruptCacheFile) \
    X(file) X(moved_to)                                                                           \
    X(json) X(os) X(pl) X(queue) X(time) X(dt) X(timedelta) X(Thread) X(BASIC_INFO) X(FLAG)      \
    X(console) X(format_to_dt) X(format_nano_ts_to_second_ts) X(make_dir)                         \
    X(path) X(join) X(exists) X(data_dir) X(Queue) X(put) X(get)                                  \
    X(clear) X(start) X(Int64) X(Float64) X(String) X(DataFrame) X(concat)                        \
    X(lit) X(alias) X(with_columns) X(sort) X(shape) X(iter_rows) X(datetime)                   \
    X(now) X(date) X(strftime) X(timestamp) X(weekday) X(Contracts) X(Stocks) X(Futures)         \
    X(ticks) X(Stock) X(code) X(market) X(ts) X(close) X(volume) X(bid_price) X(bid_volume)      \
    X(ask_price) X(ask_volume) X(tick_type) X(market_type) X(qty) X(is_simulate)                 \
    X(is_backfilling) X(darq_status) X(exit_send_tick) X(finish_backfilling) X(value) X(codes)   \
    X(start_from) X(end_to) X(backfilling_start_from) X(backfilling_end_to) X(data) X(sent)       \
    X(stop_send_ticks) X(allow_next_tick) X(is_alive) X(name)

struct Names {
    QUORVEL_TICKER_NAMES(QUORVEL_INTERNED_NAME)
    PyObject* thread_kwnames = check(Py_BuildValue("(sss)", "target", "args", "daemon"));
    PyObject* schema_kwnames = check(Py_BuildValue("(s)", "schema"));
    PyObject* days_kwnames = check(Py_BuildValue("(s)", "days"));
    PyObject* named_kwnames = check(Py_BuildValue("(s)", "named"));
    PyObject* ticks_kwnames = check(Py_BuildValue("(ss)", "contract", "date"));
    PyObject* ticks_folder = check(PyUnicode_InternFromString("ticks"));
    PyObject* sino_folder = check(PyUnicode_InternFromString("sino"));
    PyObject* day_format = check(PyUnicode_InternFromString("%Y-%m-%d"));
    PyObject* sort_keys = check(Py_BuildValue("[OO]", ts, code));  // copied before each use
    // the eight tick columns, in the schema's order
    PyObject* tick_columns = check(Py_BuildValue("(OOOOOOOO)", ts, close, volume, bid_price, bid_volume,
                                                 ask_price, ask_volume, tick_type));
};

// Made when the module body first runs; process-wide, never released.
extern const Names* names;
extern ModuleNamespace module_ns;

inline constexpr auto global = &ModuleLookups<module_ns>::global;
inline constexpr auto global_attr = &ModuleLookups<module_ns>::global_attr;

// self.<attribute>.put(item)
void put_on(PyObject* self, PyObject* queue_attribute, PyObject* item);

// {"darq_status": FLAG.<member>.value}
Ref status_dict(PyObject* member);

// The rows of a tick frame in frame order, each read when it is asked for: from column lists
// converted a slice of rows at a time for an exact polars DataFrame with the cache's column types,
// otherwise from df.iter_rows(named=True), which is called at the first request.
class TickRows {
public:
    explicit TickRows(PyObject* df) : df_(df) {}

    // Moves to the next row; false after the last.
    bool advance();

    // The current row's tick dictionary, "is_backfilling" as given.
    Ref tick(PyObject* self, bool is_backfilling) const;

private:
    PyObject* df_;  // borrowed: the caller's frame outlives its rows
    bool started_ = false;
    ColumnReader columns_;
    Ref rows_, row_;
};

// Who watches the days of a load: a callback told of each day loaded, whose true result ends the
// load, and a stop request that ends it before its next day. An ended load gives the empty
// combined frame.
struct DayWatch {
    Ref on_day;  // on_day(code, date, rows), or None
    bool stop_requested = false;

    // Tells on_day of a day loaded, unless a stop was requested: whether the load ends here.
    bool ends_after(PyObject* code, PyObject* date, PyObject* rows) const;
};

// The ticks of the instruments `codes` over the period, merged into one frame sorted by time and
// code, each day watched by `watch` (which may be null).
Ref combine_period(PyObject* self, PyObject* codes, PyObject* start_from, PyObject* end_to, DayWatch* watch);

// The run that the feed door observes for `ticker`, kept alive by the returned reference; empty
// when there is none (feed.cpp).
Ref observed_run(PyObject* ticker);

// The day watch of an observed run; nullptr for an empty reference.
DayWatch* day_watch_of(const Ref& run);

// Adds a feed thread made for `ticker` to its observed run, if it has one.
void record_feed_thread(PyObject* ticker, PyObject* thread);

// Records DataFrame.iter_rows as bound at import, for TickRows to recognise; called when the
// module body runs.
void capture_row_iteration();

// Thread(target=self.<method>, args=args, daemon=True).start()
void start_daemon_thread(PyObject* self, PyObject* method, PyObject* args);

// A frame's row count, df.shape[0].
Ref row_count(PyObject* df);

// count > 0, as the > operator and a truth test.
bool positive(PyObject* count);

// timedelta(days=1)
Ref one_day();

// Marks the calling thread as doing feed work (taking no part in a queue wait) for its scope.
// Once the process is exiting, entering parks the thread for good, without the interpreter lock.
class FeedWork {
public:
    FeedWork();
    ~FeedWork();
    FeedWork(const FeedWork&) = delete;
    FeedWork& operator=(const FeedWork&) = delete;
};

// self.<attribute>.get(): a queue wait, during which a feed thread does not count as working.
Ref queue_get(PyObject* owner, PyObject* queue_attribute);

// Parks the calling thread for good if the process is exiting.
void feed_checkpoint();

// Makes interpreter exit wait until the feed threads stand at a checkpoint or a queue wait.
void register_exit_hook();

// Method implementations, bound by the class table in ticker.cpp.
void init(Self self, Object sino_api);
Ref generate_save_path(Self self, Str file_name, VarArgs sub_folder);
Ref make_sino_contract_object(Self self, Str code, Str market_type);
Ref tick_filename_formatter(Self self, Str code, Str date);
Ref auto_fetch_ticks(Self self, Str code, Str product_type, Str date);
Ref fetch_sino_history_ticks(Self self, Str code, Object product_type, Str start_from, Str end_to);
Ref process_and_combine_ticks(Self self, List codes, Str start_from, Str end_to);
void notify_backfilling_finish(Self self);
Ref get_ticks_df(Self self, Str code, Object market_type, Str start_from, Str end_to);
void send_ticks(Self self, List codes, Str start_from, Str end_to, Str backfilling_start_from,
                Str backfilling_end_to);
void backfilling(Self self, List codes, Str start_from, Str end_to);
void push_tick_to_queue(Self self, Object df);
Ref pop_tick(Self self);
void allow_next_tick(Self self);
void stop_send_ticks(Self self);

}  // namespace quorvel::ticker
