// What the ticker's source files share: the module's state with its interned names, and the
// method implementations that the class table in ticker.cpp binds.
#pragma once

#include "../extension_support/call.hpp"
#include "../extension_support/columns.hpp"
#include "../extension_support/errors.hpp"
#include "../extension_support/message.hpp"
#include "../extension_support/method.hpp"
#include "../extension_support/module.hpp"
#include "../extension_support/reporting.hpp"
#include "../extension_support/shared_state.hpp"
#include "../extension_support/tick_dict.hpp"
#include "../extension_support/timestamps.hpp"

namespace quorvel::ticker {

// Every attribute, key, keyword and module-level name the ticker uses.
#define QUORVEL_TICKER_NAMES(NAME, TEXT, TUPLE)                                                   \
    NAME(api) NAME(allow_next_tick_flag_queue) NAME(backfilling_notify_finish_queue)              \
    NAME(backfilling_finish_flag) NAME(exit_send_thread_flag) NAME(tick_file_save_path)           \
    NAME(tick_queue) NAME(code_market_map) NAME(tick_df_schema) NAME(current_send_ticks_params)   \
    NAME(_Ticker__generate_save_path) NAME(_Ticker__make_sino_contract_object)                    \
    NAME(_Ticker__tick_filename_formatter) NAME(_Ticker__auto_fetch_ticks)                        \
    NAME(_Ticker__process_and_combine_ticks) NAME(_Ticker__notify_backfilling_finish)             \
    NAME(_Ticker__push_tick_to_queue) NAME(fetch_sino_history_ticks) NAME(backfilling)            \
    NAME(cache_files) NAME(frame_from_answer) NAME(read_day) NAME(store_day)                      \
    NAME(CorruptCacheFile) NAME(file) NAME(moved_to) NAME(os) NAME(pl) NAME(queue)     \
    NAME(time) NAME(dt) NAME(timedelta) NAME(Thread) NAME(BASIC_INFO) NAME(FLAG)                   \
    NAME(format_to_dt) NAME(format_nano_ts_to_second_ts) NAME(make_dir) NAME(path) NAME(join)     \
    NAME(exists) NAME(data_dir) NAME(Queue) NAME(put) NAME(get) NAME(clear) NAME(start)           \
    NAME(Int64) NAME(Float64) NAME(String) NAME(DataFrame) NAME(concat) NAME(lit) NAME(alias)     \
    NAME(with_columns) NAME(lazy) NAME(collect) NAME(sort) NAME(shape) NAME(iter_rows)            \
    NAME(datetime) NAME(now) NAME(date)                                                           \
    NAME(strftime) NAME(timestamp) NAME(weekday) NAME(Contracts) NAME(Stocks) NAME(Futures)       \
    NAME(ticks) NAME(Stock) NAME(code) NAME(market) NAME(ts) NAME(close) NAME(volume)             \
    NAME(bid_price) NAME(bid_volume) NAME(ask_price) NAME(ask_volume) NAME(tick_type)             \
    NAME(darq_status) NAME(exit_send_tick) NAME(finish_backfilling) NAME(value) NAME(codes)       \
    NAME(start_from) NAME(end_to) NAME(backfilling_start_from) NAME(backfilling_end_to)           \
    NAME(stop_send_ticks) NAME(allow_next_tick) NAME(is_alive) NAME(name)                         \
    TEXT(ticks_folder, "ticks") TEXT(sino_folder, "sino") TEXT(day_format, "%Y-%m-%d")            \
    TEXT(two_decimals, ".2f") TEXT(register_function, "register") TEXT(in_memory, "in-memory")     \
    TUPLE(thread_kwnames, "target", "args", "daemon") TUPLE(schema_kwnames, "schema")             \
    TUPLE(days_kwnames, "days") TUPLE(named_kwnames, "named") TUPLE(ticks_kwnames, "contract", "date") \
    TUPLE(maintain_order_kwnames, "maintain_order") TUPLE(engine_kwnames, "engine")               \
    TUPLE(sort_keys, "ts", "code") /* copied into a list before each use */

struct Names {
    QUORVEL_TICKER_NAMES(QUORVEL_NAME, QUORVEL_TEXT, QUORVEL_TUPLE)
};

// The ticker's state: made when the module body first runs, process-wide and never released.
struct State : SharedState {
    Names names;
    TickDicts tick_dicts{shared_names};
    PyObject* ticker_class = nullptr;  // Ticker as the module body made it, kept for the process
    PyObject* own_auto_fetch_ticks = nullptr;  // its __auto_fetch_ticks as made, kept likewise
};

extern State* state;

inline constexpr StateNames<state> names{};

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

// How rows equal in time and code are ordered by the merge: as polars' default sort leaves them
// (the feed's own loads), or in the order of their day file, so that a period loaded a day at a
// time gives the rows of the period loaded at once (the door's loads).
enum class Merge { default_sort, keeping_file_order };

// The ticks of the instruments `codes` over the period, merged into one frame sorted by time and
// code, each day watched by `watch` (which may be null).
Ref combine_period(PyObject* self, PyObject* codes, PyObject* start_from, PyObject* end_to, DayWatch* watch,
                   Merge merge);

// The run that the feed door observes for `ticker`, kept alive by the returned reference; empty
// when there is none (feed.cpp).
Ref observed_run(PyObject* ticker);

// The day watch of an observed run; nullptr for an empty reference.
DayWatch* day_watch_of(const Ref& run);

// Keeps a load's frame in the observed run (if `run` is one) until take_loads() hands it over.
void record_load(const Ref& run, PyObject* start_from, PyObject* end_to, PyObject* frame);

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

// The day of one instrument as __auto_fetch_ticks loads it (cache.cpp): read from the cache, or
// fetched from the broker when the cache does not hold it (or held it corrupt), without the
// "code" column that __auto_fetch_ticks then adds.
Ref day_ticks(PyObject* self, PyObject* code, PyObject* product_type, PyObject* date);

// pl.lit(code).alias("code"), the column __auto_fetch_ticks adds.
Ref code_column(PyObject* code);

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
