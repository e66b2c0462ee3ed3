"""Backfilling: bounds, the finish notice, and the backfill ahead of the live ticks."""

import threading

import pytest

from quorvel.modules.ticker.ticker import Ticker

from ticker_support import (END, STOCK, drain, feeding, frame, sending_once_the_backfill_is_awaited,
                            wait_for_thread_end)

FINISH = {"darq_status": "FinishBackfilling"}


class TestBounds:
    def test_both_absent_is_rejected_after_the_notice(self):
        ticker = Ticker(None)
        with pytest.raises(ValueError, match="^回補資料的開始時間與結束時間不能為空$"):
            ticker.backfilling([STOCK], None, "")
        assert ticker.backfilling_finish_flag is True
        assert list(ticker.backfilling_notify_finish_queue.queue) == [FINISH]
        assert ticker.current_send_ticks_params == {}

    @pytest.mark.parametrize("start, end", [("2024-01-02", None), ("", "2024-01-02")])
    def test_one_bound_covers_that_bound(self, start, end):
        ticker = feeding({"2024-01-02": frame(0)})
        seen = []
        load = ticker._Ticker__process_and_combine_ticks
        ticker._Ticker__process_and_combine_ticks = lambda *args: seen.append(args[1:]) or load(*args)
        ticker.backfilling([STOCK], start, end)
        assert seen == [("2024-01-02", "2024-01-02")]
        assert ticker.current_send_ticks_params == {"backfilling_start_from": "2024-01-02",
                                                    "backfilling_end_to": "2024-01-02"}

    def test_wrong_type_posts_no_notice(self):
        ticker = Ticker(None)
        with pytest.raises(TypeError):
            ticker.backfilling((), "2024-01-02")
        assert ticker.backfilling_notify_finish_queue.empty()


class TestReplay:
    def test_empty_backfill_takes_no_permit(self, console):
        ticker = feeding({"2024-01-02": frame(0)})
        ticker.backfilling([STOCK], "2024-01-02")
        assert console.lines == ["[green]開始回補 Tick 資料, Tick 數 0. ...[/green]"]
        assert ticker.tick_queue.empty() and ticker.allow_next_tick_flag_queue.qsize() == 1
        assert list(ticker.backfilling_notify_finish_queue.queue) == [FINISH]

    def test_through_send_ticks(self):
        ticker = feeding({"2024-01-01": frame(2), "2024-01-02": frame(1)})
        sending_once_the_backfill_is_awaited(ticker, [STOCK], "2024-01-02", "2024-01-02", "2024-01-01")
        items = drain(ticker)
        wait_for_thread_end()
        assert [item.get("is_backfilling") for item in items] == [True, True, None, False, None]
        assert items[2] == FINISH and items[-1] == END
        assert ticker.current_send_ticks_params["backfilling_start_from"] == "2024-01-01"

    def test_failing_backfill_releases_the_live_ticks(self, console, monkeypatch):
        monkeypatch.setattr(threading, "excepthook", lambda args: None)
        ticker = feeding({"2024-01-02": frame(1)})  # no frame for the backfill period
        ticker.send_ticks([STOCK], "2024-01-02", "2024-01-02", "2024-01-01")
        items = drain(ticker)
        wait_for_thread_end()
        assert [item.get("is_backfilling") for item in items if "code" in item] == [False]
        assert "[red]回補 Tick 資料失敗, 錯誤訊息: '2024-01-01'[/red]" in console.lines
        assert ticker.backfilling_finish_flag is True
