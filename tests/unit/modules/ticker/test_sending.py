"""Paced sending: the permit protocol, status dictionaries, stopping and a failing thread."""

import threading

import pytest

from quorvel.modules.ticker import ticker as ticker_module
from quorvel.modules.ticker.ticker import Ticker

from ticker_support import END, STOCK, WAIT, AwaitedQueue, drain, feeding, frame, wait_for_thread_end


class TestRun:
    def test_three_ticks_then_end_status_with_no_permit_left(self, console):
        ticker = feeding({"2024-01-02": frame(3)})
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02")
        items = drain(ticker)
        wait_for_thread_end()
        assert items[-1] == END and len(items) == 4
        assert [tick["close"] for tick in items[:3]] == [580.0, 581.0, 582.0]
        assert items[0] == {"market_type": "Stock", "timestamp": 1704186000.0, "code": "2330", "close": 580.0,
                            "qty": 1, "tick_type": 1, "is_simulate": False, "is_backfilling": False}
        assert ticker.allow_next_tick_flag_queue.qsize() == 0 and ticker.exit_send_thread_flag is True
        assert console.lines[0] == "[green]開始傳送 Tick 資料, Tick 數 3. ...[/green]"
        assert console.lines[-1].startswith("[green]傳送 Tick 資料結束, 需傳送資料共 3 筆, 已傳送 3 筆, 耗時 0.")
        assert ticker.current_send_ticks_params == {"codes": [STOCK], "start_from": "2024-01-02",
                                                    "end_to": "2024-01-02"}

    def test_without_permits_only_the_first_tick_comes(self):
        ticker = feeding({"2024-01-02": frame(3)})
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02")
        assert ticker.pop_tick()["close"] == 580.0
        with pytest.raises(ticker_module.queue.Empty):
            ticker.tick_queue.get(timeout=0.3)
        ticker.stop_send_ticks()
        ticker.allow_next_tick()
        wait_for_thread_end()

    def test_empty_frame_puts_end_status_only(self, console):
        ticker = Ticker(None)
        ticker._Ticker__push_tick_to_queue(frame(0))
        assert list(ticker.tick_queue.queue) == [END]
        assert console.lines == ["[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]"]
        assert ticker.exit_send_thread_flag is False and ticker.allow_next_tick_flag_queue.qsize() == 1

    def test_send_ticks_discards_leftovers_of_an_earlier_run(self):
        ticker = feeding({"2024-01-02": frame(1)})
        ticker.stop_send_ticks()
        ticker.backfilling_notify_finish_queue.put("stale")
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02", "", None)
        assert ticker.backfilling_finish_flag is True and ticker.backfilling_notify_finish_queue.empty()
        assert len(drain(ticker)) == 2

    def test_stop_during_a_run(self):
        ticker = feeding({"2024-01-02": frame(5)})
        permits = ticker.allow_next_tick_flag_queue = AwaitedQueue()
        permits.put(True)  # the first permit, as a new Ticker has it
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02")
        assert ticker.pop_tick()["close"] == 580.0
        assert permits.awaited.wait(WAIT)  # the thread has passed its stop check
        ticker.stop_send_ticks()
        assert ticker.pop_tick() == END
        ticker.allow_next_tick()  # lets the waiting thread finish its pass
        assert ticker.tick_queue.get(timeout=WAIT)["close"] == 581.0
        wait_for_thread_end()
        assert ticker.tick_queue.empty() and ticker.exit_send_thread_flag is True


class TestFailingThread:
    def test_failure_ends_the_run_with_end_status(self, console, logger, monkeypatch):
        reported = []
        monkeypatch.setattr(threading, "excepthook", lambda args: reported.append(args.exc_value))
        ticker = Ticker(None)  # no market known for the frame's code
        ticker.send_ticks([], "2024-01-02", "2024-01-02")  # an empty load: nothing to fail
        drain(ticker)
        wait_for_thread_end()  # its last line printed before the failing run's
        ticker._Ticker__process_and_combine_ticks = lambda *args: frame(2)
        ticker.allow_next_tick()
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02")
        assert ticker.tick_queue.get(timeout=WAIT) == END
        wait_for_thread_end()
        assert [type(error) for error in reported] == [KeyError]
        assert console.lines[-1] == "[red]傳送 Tick 資料失敗, 錯誤訊息: '2330'[/red]"
        [record] = logger.records()
        assert record["error"] == "'2330'" and "KeyError" in record["traceback"]
