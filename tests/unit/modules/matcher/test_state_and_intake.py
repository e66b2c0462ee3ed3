"""The constructor, the tick table, trade ids, and the intake thread's handling of operations."""

import gc
import json
import threading
import weakref

import pytest

from quorvel.modules.matcher.matcher import Matcher
from quorvel.modules.positions.positions import Positions

from matcher_support import TIMEOUT, stock_order, take_report


class TestConstructor:
    def test_state_in_order(self, matcher):
        assert list(vars(matcher)) == ["pending_orders", "response_queue", "pending_order_queue",
                                       "current_tick_infos", "positions", "account_info", "exchange_info"]
        assert matcher.account_info == {"account_id": "BT-00001"}
        assert matcher.exchange_info == {"name": "DARQ Backtest Exchange"}
        assert isinstance(matcher.positions, Positions)

    def test_truthy_positions_kept_falsy_replaced(self, console, logger):
        class Empty(Positions):
            def __len__(self):
                return 0

        given = Positions()
        assert Matcher(positions=given).positions is given
        falsy = Empty()
        replaced = Matcher(falsy).positions
        assert replaced is not falsy and type(replaced) is Positions

    def test_two_matchers_are_independent(self, console, logger):
        first, second = Matcher(), Matcher()
        assert first.response_queue is not second.response_queue
        assert first.account_info == second.account_info and first.account_info is not second.account_info


class TestTickTable:
    def test_first_tick_creates_the_record_and_later_ticks_update_it(self, matcher):
        tick = {"code": "2330", "timestamp": 1.0, "close": 100.0}
        matcher.set_current_tick(tick)
        record = matcher.current_tick_infos["2330"]
        assert record == {"ts": 1.0, "tick": tick} and list(record) == ["ts", "tick"]
        later = {"code": "2330", "timestamp": 2.0, "close": 101.0}
        matcher.set_current_tick(later)
        assert matcher.current_tick_infos["2330"] is record and record["tick"] is later

    def test_reset_rebinds_instead_of_clearing(self, matcher):
        matcher.set_current_tick({"code": "2330", "timestamp": 1.0, "close": 1.0})
        old = matcher.current_tick_infos
        matcher.reset_tick_infos()
        assert matcher.current_tick_infos == {} and "2330" in old

    def test_missing_timestamp_leaves_the_new_tick_and_the_old_ts(self, matcher):
        matcher.set_current_tick({"code": "2330", "timestamp": 1.0, "close": 1.0})
        broken = {"code": "2330", "close": 2.0}
        with pytest.raises(KeyError):
            matcher.set_current_tick(broken)
        assert matcher.current_tick_infos["2330"] == {"ts": 1.0, "tick": broken}

    def test_init_current_tick_info_returns_a_fresh_record(self, matcher):
        first = matcher._Matcher__init_current_tick_info("a")
        assert first == {"ts": None, "tick": None} and first is not matcher._Matcher__init_current_tick_info("a")
        with pytest.raises(TypeError):
            matcher._Matcher__init_current_tick_info(1)

    def test_trade_ids_are_distinct_16_character_strings(self, matcher):
        ids = {matcher._Matcher__get_random_uuid() for _ in range(100)}
        assert len(ids) == 100 and all(type(i) is str and len(i) == 16 for i in ids)


class TestIntake:
    def test_operations_are_carried_out_in_posting_order(self, matcher, console):
        matcher.add_pending_order_queue("add", stock_order())
        trade_id = take_report(matcher)["order"]["id"]
        matcher.add_pending_order_queue("modify", {"trade_id": trade_id, "qty": 2})
        matcher.add_pending_order_queue("cancel", {"trade_id": trade_id})
        assert take_report(matcher)["operation_type"] == "UpdateQty"
        cancel = take_report(matcher)
        assert cancel["operation_type"] == "Cancel" and cancel["order"]["quantity"] == 3
        assert matcher.pending_orders == []

    def test_unsupported_action(self, matcher, console, logger):
        matcher.add_pending_order_queue("buy", {})
        assert console.wait_for(1) == ["[red]不支援的操作: buy[/red]"]
        assert logger.lines == []

    def test_missing_trade_id_is_printed_and_logged(self, matcher, console, logger):
        item_payload = {"qty": 1}
        matcher.add_pending_order_queue("modify", item_payload)
        assert console.wait_for(1) == ["[red]接收委託單失敗: 'trade_id'[/red]"]
        record = json.loads(logger.wait_for(1)[0])
        assert list(record) == ["error", "traceback", "data"]
        assert record["error"] == "'trade_id'"
        assert record["traceback"].startswith("Traceback (most recent call last):")
        assert "Matcher.__receive_pending_order" in record["traceback"] and "KeyError" in record["traceback"]
        assert record["data"] == {"info": {"action": "modify", "payload": item_payload}}

    def test_failures_do_not_stop_the_loop(self, matcher, console, logger):
        matcher.add_pending_order_queue("modify", {"trade_id": "x"})
        matcher.add_pending_order_queue("add", dict(stock_order(), bogus=1))
        matcher.add_pending_order_queue("add", stock_order(product_type="Bond"))
        matcher.pending_order_queue.put({"action": "add", "payload": None})
        matcher.pending_order_queue.put({"action": "add", "payload": [("code", "2330")]})
        lines = console.wait_for(5)
        assert lines[0] == "[red]接收委託單失敗: 請至少提供數量或價格來修改委託單 x[/red]"
        assert lines[1] == "[red]接收委託單失敗: add_order() got an unexpected keyword argument 'bogus'[/red]"
        assert lines[2] == "[red]接收委託單失敗: 不支援的商品類型: Bond[/red]"
        assert lines[3] == "[red]接收委託單失敗: argument after ** must be a mapping, not NoneType[/red]"
        assert lines[4] == "[red]接收委託單失敗: argument after ** must be a mapping, not list[/red]"
        assert "\\u4e0d\\u652f\\u63f4" in logger.wait_for(5)[2]  # non-ASCII escaped by json.dumps
        matcher.add_pending_order_queue("add", stock_order())
        assert take_report(matcher)["operation_type"] == "New"

    def test_unserialisable_payload_is_logged_with_reprs(self, matcher, console, logger):
        payload = {"trade_id": {1, 2}}
        matcher.add_pending_order_queue("modify", payload)
        record = json.loads(logger.wait_for(1)[0])
        assert list(record)[:2] == ["error", "traceback"]
        assert "{1, 2}" in json.dumps(record["data"])
        matcher.add_pending_order_queue("add", stock_order())
        assert take_report(matcher)["operation_type"] == "New"

    @pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
    def test_a_failing_console_does_not_end_the_thread(self, matcher, console, logger, monkeypatch):
        import quorvel.modules.matcher.matcher as matcher_module

        class Broken:
            def print(self, text):
                raise ValueError("console is broken")

        monkeypatch.setattr(matcher_module, "console", Broken())
        matcher.add_pending_order_queue("modify", {})
        assert json.loads(logger.wait_for(1)[0])["error"] == "'trade_id'"
        monkeypatch.setattr(matcher_module, "console", console)
        matcher.add_pending_order_queue("add", stock_order())
        assert take_report(matcher)["operation_type"] == "New"

    def test_queue_put_rejects_wrong_types(self, matcher):
        with pytest.raises(TypeError, match="Argument 'payload'"):
            matcher.add_pending_order_queue("add", None)
        with pytest.raises(TypeError, match="Argument 'action'"):
            matcher.add_pending_order_queue(1, {})
        assert matcher.pending_order_queue.empty()

    def test_payload_is_queued_as_the_callers_object(self, console, logger):
        class Idle(Matcher):
            def _Matcher__receive_pending_order(self):
                pass

        matcher = Idle()
        payload = {"trade_id": "x"}
        matcher.add_pending_order_queue("cancel", payload)
        item = matcher.pending_order_queue.get_nowait()
        assert item == {"action": "cancel", "payload": payload} and item["payload"] is payload


class TestClose:
    def test_posted_operations_finish_then_the_thread_ends_and_frees_the_matcher(self, console, logger):
        threads_before = threading.active_count()
        matcher = Matcher()
        matcher.add_pending_order_queue("add", stock_order())
        assert matcher.close(TIMEOUT) is True
        assert threading.active_count() == threads_before
        assert take_report(matcher)["operation_type"] == "New"
        freed = weakref.ref(matcher)
        del matcher
        gc.collect()
        assert freed() is None

    def test_closing_again_returns_at_once_and_later_items_wait(self, matcher):
        assert matcher.close(TIMEOUT) is True
        assert matcher.close(TIMEOUT) is True
        matcher.add_pending_order_queue("add", stock_order())
        assert matcher.pending_order_queue.qsize() == 1 and matcher.response_queue.empty()

    def test_an_unclosed_matcher_keeps_its_thread_and_itself(self, console, logger):
        threads_before = threading.active_count()
        kept = weakref.ref(Matcher())
        gc.collect()
        assert kept() is not None and threading.active_count() == threads_before + 1
        assert kept().close(TIMEOUT) is True
