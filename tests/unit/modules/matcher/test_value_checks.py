"""Prices and quantities the exchange refuses: each refusal raises, changes nothing and queues nothing."""

import copy
import json
import math

import pytest

from matcher_support import place, stock_order, take_reports

NAN, INF = math.nan, math.inf


def book_state(matcher):
    return copy.deepcopy(matcher.pending_orders)


def assert_refused(matcher, call, message):
    """`call` raises Exception(message) and leaves the book, the queue and the positions as they were."""
    before = book_state(matcher)
    trade_records = list(matcher.positions.trade_records)
    with pytest.raises(Exception) as raised:
        call()
    assert str(raised.value) == message
    assert book_state(matcher) == before
    assert take_reports(matcher) == []
    assert matcher.positions.trade_records == trade_records


class TestAddOrder:
    @pytest.mark.parametrize("qty, text", [(0, "0"), (-1, "-1"), (-(10**30), str(-(10**30)))])
    def test_quantity_below_one(self, matcher, qty, text):
        assert_refused(matcher, lambda: matcher.add_order(**stock_order(qty=qty)), f"委託數量 {text} 必須大於 0")

    @pytest.mark.parametrize("price_type", ["LMT", "MKT", "MKP"])
    @pytest.mark.parametrize("price, text", [(NAN, "nan"), (INF, "inf"), (-INF, "-inf")])
    def test_price_not_finite(self, matcher, price_type, price, text):
        label = "限價委託的價格" if price_type == "LMT" else "委託價格"
        assert_refused(matcher, lambda: matcher.add_order(**stock_order(price=price, price_type=price_type)),
                       f"{label} {text} 必須是有限的數值")

    @pytest.mark.parametrize("price", [0.0, -0.0, -1.0, -1e-300])
    def test_limit_price_not_positive(self, matcher, price):
        assert_refused(matcher, lambda: matcher.add_order(**stock_order(price=price)),
                       f"限價委託的價格 {price} 必須大於 0")

    def test_market_price_may_be_zero_but_not_negative(self, matcher):
        assert_refused(matcher, lambda: matcher.add_order(**stock_order(price=-1.0, price_type="MKT")),
                       "委託價格 -1.0 不可小於 0")
        place(matcher, **stock_order(price=0.0, price_type="MKT"))
        assert matcher.pending_orders[0]["price"] == 0.0

    def test_quantity_is_checked_before_the_price(self, matcher):
        assert_refused(matcher, lambda: matcher.add_order(**stock_order(qty=0, price=NAN)), "委託數量 0 必須大於 0")

    def test_refusal_through_the_intake_thread_is_reported(self, matcher, console, logger):
        matcher.add_pending_order_queue("add", stock_order(price=INF))
        console.wait_for(1)
        logger.wait_for(1)
        assert console.lines == ["[red]接收委託單失敗: 限價委託的價格 inf 必須是有限的數值[/red]"]
        record = json.loads(logger.lines[0])
        assert record["error"] == "限價委託的價格 inf 必須是有限的數值"
        assert math.isinf(record["data"]["info"]["payload"]["price"])
        assert matcher.pending_orders == [] and matcher.response_queue.empty()


class TestModifyOrder:
    @pytest.mark.parametrize("price, message", [(NAN, "修改的價格 nan 必須是有限的數值"),
                                                (INF, "修改的價格 inf 必須是有限的數值"),
                                                (-INF, "修改的價格 -inf 必須是有限的數值"),
                                                (-2.5, "修改的價格 -2.5 必須大於 0")])
    def test_new_price_not_finite_or_not_positive(self, matcher, price, message):
        trade_id = place(matcher, **stock_order())
        assert_refused(matcher, lambda: matcher.modify_order(trade_id, None, price), message)
        assert_refused(matcher, lambda: matcher.modify_order(trade_id, 2, price), message)

    def test_refused_before_the_order_is_looked_up(self, matcher, console):
        assert_refused(matcher, lambda: matcher.modify_order("nope", None, NAN), "修改的價格 nan 必須是有限的數值")
        assert console.lines == []


class TestMatchDeal:
    @pytest.fixture
    def resting(self, matcher):
        """A resting limit buy and a resting market sell of the same instrument."""
        place(matcher, **stock_order(qty=5))
        place(matcher, **stock_order(qty=5, action="Sell", price=0.0, price_type="MKT"))
        return matcher

    @pytest.mark.parametrize("tick_close, message", [(NAN, "Tick 價格 nan 必須是有限的數值"),
                                                     (INF, "Tick 價格 inf 必須是有限的數值"),
                                                     (-INF, "Tick 價格 -inf 必須是有限的數值"),
                                                     (0.0, "Tick 價格 0.0 必須大於 0"),
                                                     (-99.0, "Tick 價格 -99.0 必須大於 0")])
    def test_tick_price_not_finite_or_not_positive(self, resting, tick_close, message):
        assert_refused(resting, lambda: resting.match_deal("2330", tick_close, 3, 1.0), message)

    @pytest.mark.parametrize("tick_qty", [-1, -4, -(10**30)])
    def test_negative_tick_quantity(self, resting, tick_qty):
        assert_refused(resting, lambda: resting.match_deal("2330", 99.0, tick_qty, 1.0),
                       f"Tick 數量 {tick_qty} 不可小於 0")

    def test_accepted_ticks_still_fill(self, resting):
        resting.match_deal("2330", 99.0, 0, 1.0)
        assert take_reports(resting) == []
        resting.match_deal("2330", 99.0, 10, 1.0)
        assert [report["quantity"] for report in take_reports(resting)] == [5, 5]
        assert resting.pending_orders == []

    def test_a_tick_price_given_as_an_int_is_checked_as_a_float(self, resting):
        assert_refused(resting, lambda: resting.match_deal("2330", 0, 3, 1.0), "Tick 價格 0.0 必須大於 0")


def test_zero_quantity_order_never_reaches_the_book(matcher):
    """An order of quantity 0 used to get a New report and leave the book later with none."""
    assert_refused(matcher, lambda: matcher.add_order(**stock_order(qty=0)), "委託數量 0 必須大於 0")
    matcher.match_deal("2330", 99.0, 3, 1.0)
    assert take_reports(matcher) == [] and matcher.pending_orders == []
