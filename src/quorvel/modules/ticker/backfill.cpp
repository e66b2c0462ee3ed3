// Backfilling: the ticks of an earlier period replayed ahead of the live ones, paced by the same
// permits, and the notice that closes the backfill phase.
#include "ticker_module.hpp"

namespace quorvel::ticker {

namespace {

bool absent(PyObject* bound) { return bound == Py_None || (PyUnicode_Check(bound) && PyUnicode_GET_LENGTH(bound) == 0); }

// Loads the backfill frame and puts its ticks, one permit each.
void replay(PyObject* self, PyObject* codes, PyObject* start_from, PyObject* end_to) {
    Ref df = call_method(self, names->_Ticker__process_and_combine_ticks, codes, start_from, end_to);
    console_print({"[green]開始回補 Tick 資料, Tick 數 ", row_count(df.get()), ". ...[/green]"});
    TickRows rows(df.get());
    while (rows.advance()) {
        queue_get(self, names->allow_next_tick_flag_queue);
        put_on(self, names->tick_queue, rows.tick(self, true).get());
    }
}

}  // namespace

void notify_backfilling_finish(Self self) {
    setattr(self, names->backfilling_finish_flag, Py_True);
    put_on(self, names->backfilling_notify_finish_queue, status_dict(names->finish_backfilling).get());
}

void backfilling(Self self, List codes, Str start_from, Str end_to) {
    FeedWork work;
    if (absent(start_from) && absent(end_to)) {
        call_method(self, names->_Ticker__notify_backfilling_finish);
        raise(PyExc_ValueError, "回補資料的開始時間與結束時間不能為空");
    }
    if (absent(start_from)) start_from = end_to;
    if (absent(end_to)) end_to = start_from;
    setitem(getattr(self, names->current_send_ticks_params).get(), names->backfilling_start_from, start_from);
    setitem(getattr(self, names->current_send_ticks_params).get(), names->backfilling_end_to, end_to);
    // The phase is closed on every path.
    run_finally(
        [&] {
            catch_exception([&] { replay(self, codes, start_from, end_to); },
                            [&](HandledException& error) {
                                console_print({"[red]回補 Tick 資料失敗, 錯誤訊息: ", error.text(), "[/red]"});
                                error.reraise();
                            });
        },
        [&] { call_method(self, names->_Ticker__notify_backfilling_finish); });
}

}  // namespace quorvel::ticker
