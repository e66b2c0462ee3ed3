"""Entering, modifying and cancelling orders."""

import json

import pytest

from quorvel.constant import Action, OCType, OrderCond, OrderLot, OrderType, PriceType

from matcher_support import future_order, place, stock_order, take_report, take_reports


class TestAddOrder:
    def test_stock_record(self, matcher, console):
        trade_id = place(matcher, **stock_order(price=100))
        [record] = matcher.pending_orders
        assert list(record) == ["operation_type", "operation_code", "operation_message", "trade_id", "account_id",
                                "code", "product_type", "action", "price", "quantity", "price_type", "order_type",
                                "exchange_ts", "order_cond", "order_lot"]
        assert record["trade_id"] == trade_id and record["operation_type"] == "New"
        assert record["action"] is Action.BUY and record["price_type"] is PriceType.LMT
        assert record["order_type"] is OrderType.ROD
        assert record["order_cond"] is OrderCond.CASH and record["order_lot"] is OrderLot.COMMON
        assert record["price"] == 100.0 and type(record["price"]) is float
        assert record["exchange_ts"] is None
        assert console.lines == [f"[green]新增委託單 {trade_id} 成功[/green]"]

    def test_future_record_ignores_stock_fields(self, matcher):
        matcher.set_current_tick({"code": "TXFR1", "timestamp": 7.5, "close": 1.0})
        place(matcher, **future_order(order_cond="MarginTrading", order_lot="Odd"))
        [record] = matcher.pending_orders
        assert len(record) == 14 and record["oc_type"] is OCType.AUTO
        assert "order_cond" not in record and record["exchange_ts"] == 7.5

    def test_unsupported_product_type_leaves_the_book_unchanged(self, matcher):
        with pytest.raises(Exception, match="^不支援的商品類型: Bond$"):
            matcher.add_order(**stock_order(product_type="Bond"))
        with pytest.raises(ValueError):
            matcher.add_order(**stock_order(action="Hold"))
        assert matcher.pending_orders == [] and matcher.response_queue.empty()

    def test_report_failure_is_logged_and_the_order_stays(self, matcher, console, logger, monkeypatch):
        monkeypatch.setattr(type(matcher), "build_order_response", lambda *args: 1 / 0, raising=True)
        matcher.add_order(**stock_order(price=100))
        assert len(matcher.pending_orders) == 1
        record = json.loads(logger.lines[0])
        assert record["error"] == "division by zero"
        assert record["data"] == {"code": "2330", "product_type": "Stock", "action": "Buy", "price": 100.0,
                                  "qty": 5, "price_type": "LMT", "order_type": "ROD", "order_cond": "Cash",
                                  "order_lot": "Common", "oc_type": "Auto"}
        assert console.lines == ["[red]發生錯誤: division by zero[/red]"]


class TestModifyOrder:
    def test_nothing_to_change_is_refused_before_the_lookup(self, matcher):
        for qty, price in [(None, None), (0, None), (None, 0.0)]:
            with pytest.raises(Exception, match="^請至少提供數量或價格來修改委託單 nope$"):
                matcher.modify_order("nope", qty, price)

    def test_unknown_order(self, matcher, console):
        matcher.modify_order("nope", 1)
        assert console.lines == ["[red]委託單 nope 不存在[/red]"]

    def test_reduce_quantity_then_price(self, matcher, console):
        trade_id = place(matcher, **stock_order())
        matcher.modify_order(trade_id, 2, 101.5)
        qty_report, price_report = take_reports(matcher)
        assert qty_report["operation_type"] == "UpdateQty" and qty_report["order"]["quantity"] == 3
        assert price_report["operation_type"] == "UpdatePrice" and price_report["order"]["price"] == 101.5
        assert console.lines[1:] == [f"[green]修改委託單 {trade_id} 數量成功, 修改數量 2[/green]",
                                     f"[green]修改委託單 {trade_id} 價格成功, 修改價格 101.5[/green]"]

    def test_reduction_larger_than_the_quantity(self, matcher):
        trade_id = place(matcher, **stock_order())
        with pytest.raises(Exception, match="^修改的數量 6 大於原本的數量 5$"):
            matcher.modify_order(trade_id, 6)
        assert matcher.pending_orders[0]["quantity"] == 5

    def test_negative_reduction_is_refused(self, matcher):
        trade_id = place(matcher, **stock_order())
        with pytest.raises(Exception, match="^修改的數量 -3 必須大於 0$"):
            matcher.modify_order(trade_id, -3, 101.0)
        assert matcher.pending_orders[0]["quantity"] == 5 and matcher.pending_orders[0]["price"] == 100.0
        assert matcher.response_queue.empty()

    def test_price_not_positive_refuses_the_quantity_change_too(self, matcher):
        trade_id = place(matcher, **stock_order())
        with pytest.raises(Exception, match="^修改的價格 -1.0 必須大於 0$"):
            matcher.modify_order(trade_id, 2, -1.0)
        assert matcher.pending_orders[0]["quantity"] == 5
        assert take_reports(matcher) == []

    def test_reduction_by_the_whole_quantity_removes_the_order(self, matcher):
        trade_id = place(matcher, **stock_order())
        matcher.modify_order(trade_id, 5)
        assert take_report(matcher)["order"]["quantity"] == 0
        assert matcher.pending_orders == []
        matcher.match_deal("2330", 99.0, 10, 1.0)
        assert matcher.response_queue.empty() and matcher.positions.trade_records == []


class TestCancelOrder:
    def test_cancel_twice(self, matcher, console):
        trade_id = place(matcher, **stock_order())
        matcher.cancel_order(trade_id)
        report = take_report(matcher)
        assert report["operation_type"] == "Cancel" and report["order"]["id"] == trade_id
        matcher.cancel_order(trade_id)
        assert matcher.response_queue.empty()
        assert console.lines[1:] == [f"[green]取消委託單 {trade_id} 成功[/green]",
                                     f"[red]委託單 {trade_id} 不存在[/red]"]

    def test_report_failure_prints_and_the_order_stays_removed(self, matcher, console, logger, monkeypatch):
        trade_id = place(matcher, **stock_order())
        monkeypatch.setattr(type(matcher), "add_response_to_queue", lambda self, r: 1 / 0)
        matcher.cancel_order(trade_id)
        assert matcher.pending_orders == [] and console.lines[-1] == "[red]division by zero[/red]"
        assert logger.lines == []
