// Tick sending and pacing: the sending thread hands the frame's rows to the driver one per
// permit, and the driver's side of the protocol (pop, allow, stop).
#include "ticker_module.hpp"

namespace quorvel::ticker {

namespace {

// A bound counts as given when it is a non-empty str (None and "" are absent).
bool given(PyObject* bound) { return PyUnicode_Check(bound) && PyUnicode_GET_LENGTH(bound) > 0; }

bool flag_set(PyObject* self, PyObject* flag) { return is_true(getattr(self, flag).get()); }

void put_exit_status(PyObject* self) { put_on(self, names->tick_queue, status_dict(names->exit_send_tick).get()); }

// The paced loop of the sending thread; returns the number of ticks sent.
Py_ssize_t send_paced(PyObject* self, PyObject* df, TickRows& rows) {
    Py_ssize_t sent = 0;
    while (!flag_set(self, names->exit_send_thread_flag) && positive(row_count(df).get())) {
        if (!flag_set(self, names->backfilling_finish_flag)) {
            queue_get(self, names->backfilling_notify_finish_queue);
            put_on(self, names->tick_queue, status_dict(names->finish_backfilling).get());
        }
        queue_get(self, names->allow_next_tick_flag_queue);
        // The lazy row converter: a row is read and its tick built only once its permit is taken.
        if (!rows.advance()) {
            setattr(self, names->exit_send_thread_flag, Py_True);
            put_exit_status(self);
            break;
        }
        put_on(self, names->tick_queue, rows.tick(self, false).get());
        ++sent;
    }
    return sent;
}

// A failing loop must not leave the driver waiting in pop_tick for ever: the failure is shown
// and logged, the end status is put, and the exception goes on to the thread's handler.
[[noreturn]] void end_failed_run(PyObject* self, HandledException& error) {
    guarded([&] { console_print({"[red]傳送 Tick 資料失敗, 錯誤訊息: ", error.value(), "[/red]"}); });
    guarded([&] { log_error_record(error, {}); });
    guarded([&] { put_exit_status(self); });
    error.reraise();
}

}  // namespace

void push_tick_to_queue(Self self, Object df) {
    FeedWork work;
    Ref total = row_count(df);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (compare(total.get(), zero.get(), Py_EQ)) {
        put_exit_status(self);
        console_print({"[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]"});
        return;
    }
    Ref started = call_method(global(names->time).get(), names->time);
    TickRows rows(df);
    Py_ssize_t sent = 0;
    catch_exception([&] { sent = send_paced(self, df, rows); },
                    [&](HandledException& error) { end_failed_run(self, error); });
    if (!flag_set(self, names->exit_send_thread_flag)) {
        setattr(self, names->exit_send_thread_flag, Py_True);
        put_exit_status(self);
    }
    Ref elapsed = Ref::steal(PyNumber_Subtract(call_method(global(names->time).get(), names->time).get(), started.get()));
    Ref sent_count = Ref::steal(PyLong_FromSsize_t(sent));
    console_print({"[green]傳送 Tick 資料結束, 需傳送資料共 ", total, " 筆, 已傳送 ", sent_count, " 筆, 耗時 ",
                   Ref::steal(PyObject_Format(elapsed.get(), names->two_decimals)), " 秒[/green]"});
}

void send_ticks(Self self, List codes, Str start_from, Str end_to, Str backfilling_start_from,
                Str backfilling_end_to) {
    Ref params = new_dict();
    setitem(params.get(), names->codes, codes);
    setitem(params.get(), names->start_from, start_from);
    setitem(params.get(), names->end_to, end_to);
    setattr(self, names->current_send_ticks_params, params.get());
    setattr(self, names->exit_send_thread_flag, Py_False);
    call_method(getattr(getattr(self, names->tick_queue).get(), names->queue).get(), names->clear);
    call_method(getattr(getattr(self, names->backfilling_notify_finish_queue).get(), names->queue).get(), names->clear);
    setattr(self, names->backfilling_finish_flag, Py_False);
    if (given(backfilling_start_from) || given(backfilling_end_to))
        start_daemon_thread(self, names->backfilling, tuple(codes, backfilling_start_from, backfilling_end_to).get());
    else
        setattr(self, names->backfilling_finish_flag, Py_True);
    Ref df = call_method(self, names->_Ticker__process_and_combine_ticks, codes, start_from, end_to);
    console_print({"[green]開始傳送 Tick 資料, Tick 數 ", row_count(df.get()), ". ...[/green]"});
    start_daemon_thread(self, names->_Ticker__push_tick_to_queue, tuple(df).get());
}

Ref pop_tick(Self self) { return call_method(getattr(self, names->tick_queue).get(), names->get); }

void allow_next_tick(Self self) { put_on(self, names->allow_next_tick_flag_queue, Py_True); }

void stop_send_ticks(Self self) {
    setattr(self, names->exit_send_thread_flag, Py_True);
    put_exit_status(self);
}

}  // namespace quorvel::ticker
