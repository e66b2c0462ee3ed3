"""Matching pending orders against ticks, by price type and order type."""

import pytest

from matcher_support import PositionsRecorder, future_order, place, stock_order, take_reports


def kinds(reports):
    return [("deal", r["quantity"]) if "operation_type" not in r else (r["operation_type"].value, r["order"]["quantity"])
            for r in reports]


@pytest.fixture
def book(matcher):
    def add(**order):
        place(matcher, **stock_order(**order))
    return add


class TestPriceTest:
    @pytest.mark.parametrize("action, tick, fills", [
        ("Buy", 100.0, True), ("Buy", 99.5, True), ("Buy", 100.5, False),
        ("Sell", 100.0, True), ("Sell", 100.5, True), ("Sell", 99.5, False)])
    def test_limit_orders_fill_at_the_tick_price(self, matcher, book, action, tick, fills):
        book(action=action, price=100.0)
        matcher.match_deal("2330", tick, 10, 1.0)
        reports = take_reports(matcher)
        assert bool(reports) == fills
        if fills:
            assert reports[0]["price"] == tick and reports[0]["exchange_ts"] == 1.0

    def test_market_orders_fill_at_any_price(self, matcher, book):
        book(price_type="MKT", price=1.0)
        matcher.match_deal("2330", 500, 10, 2)
        [deal] = take_reports(matcher)
        assert deal["price"] == 500.0 and type(deal["price"]) is float and deal["exchange_ts"] == 2.0


class TestOrderTypes:
    def test_rod_partial_fills_over_ticks(self, matcher, book):
        book(qty=5)
        matcher.match_deal("2330", 100.0, 3, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 3)]
        assert matcher.pending_orders[0]["quantity"] == 2
        matcher.match_deal("2330", 100.0, 10, 2.0)
        assert kinds(take_reports(matcher)) == [("deal", 2)] and matcher.pending_orders == []

    def test_rod_without_price_match_stays(self, matcher, book):
        book(price=90.0)
        matcher.match_deal("2330", 100.0, 10, 1.0)
        assert take_reports(matcher) == [] and matcher.pending_orders[0]["quantity"] == 5

    def test_ioc_partial_fill_then_cancel(self, matcher, book):
        book(order_type="IOC")
        matcher.match_deal("2330", 100.0, 3, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 3), ("Cancel", 2)]
        records = [(r.trade_status, r.quantity) for r in matcher.positions.trade_records]
        assert records == [("Deal", 3), ("Cancel", 2)] and matcher.pending_orders == []

    def test_ioc_without_price_match_is_cancelled_whole(self, matcher, book):
        book(order_type="IOC", price=90.0)
        matcher.match_deal("2330", 100.0, 3, 1.0)
        assert kinds(take_reports(matcher)) == [("Cancel", 5)] and matcher.pending_orders == []

    @pytest.mark.parametrize("tick_qty, price, expected", [
        (5, 100.0, [("deal", 5)]), (4, 100.0, [("Cancel", 5)]), (10, 90.0, [("Cancel", 5)])])
    def test_fok_fills_whole_or_is_cancelled_whole(self, matcher, book, tick_qty, price, expected):
        book(order_type="FOK", price=price)
        matcher.match_deal("2330", 100.0, tick_qty, 1.0)
        assert kinds(take_reports(matcher)) == expected and matcher.pending_orders == []

    def test_other_order_types_stay_untouched(self, matcher, book):
        book()
        matcher.pending_orders[0]["order_type"] = "GTC"
        matcher.match_deal("2330", 100.0, 10, 1.0)
        assert take_reports(matcher) == [] and len(matcher.pending_orders) == 1


class TestTickBudget:
    def test_zero_quantity_tick_fills_nothing(self, matcher, book):
        book()
        matcher.match_deal("2330", 100.0, 0, 1.0)
        assert take_reports(matcher) == [] and matcher.pending_orders[0]["quantity"] == 5

    def test_every_record_pending_at_the_start_is_visited(self, matcher, book):
        book(qty=4)
        book(qty=4)
        matcher.match_deal("2330", 100.0, 5, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 4), ("deal", 1)]
        assert [r["quantity"] for r in matcher.pending_orders] == [3]

    def test_ioc_after_a_filled_order_is_resolved_at_the_same_tick(self, matcher, book):
        book(qty=2)
        book(order_type="IOC", qty=2)
        matcher.match_deal("2330", 100.0, 10, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 2), ("deal", 2)] and matcher.pending_orders == []

    def test_used_up_budget_leaves_later_rod_records_waiting(self, matcher, book):
        book(qty=3)
        book(qty=2)
        matcher.match_deal("2330", 100.0, 3, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 3)]
        assert [r["quantity"] for r in matcher.pending_orders] == [2]

    def test_other_codes_are_skipped_reading_only_their_code(self, matcher, book):
        matcher.pending_orders.append({"code": "9999"})
        book()
        matcher.match_deal("2330", 100.0, 10, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 5)]


class TestPositionsCalls:
    def test_fill_and_cancel_calls_in_order(self, console, logger):
        from quorvel.modules.matcher.matcher import Matcher

        positions = PositionsRecorder()
        matcher = Matcher(positions)
        matcher.set_current_tick({"code": "TXFR1", "timestamp": 5.0, "close": 1.0})
        trade_id = place(matcher, **future_order(order_type="IOC"))
        matcher.match_deal("TXFR1", 100, 3, 6)
        calls = positions.calls[1:]
        assert calls[0] == ("record", [("trade_id", trade_id), ("code", "TXFR1"), ("action", "Buy"),
                                       ("quantity", 3), ("price", 100.0), ("timestamp", 6.0),
                                       ("trade_status", "Deal")])
        assert calls[1] == ("positions", 3, "Future")
        # a cancellation carries the time of the latest tick given to set_current_tick
        assert calls[2] == ("record", [("trade_id", trade_id), ("code", "TXFR1"), ("action", "Buy"),
                                       ("quantity", 2), ("price", 100.0), ("timestamp", 5.0),
                                       ("trade_status", "Cancel")])

    def test_cancel_without_any_tick_has_no_timestamp(self, matcher, book):
        book(order_type="FOK")
        matcher.match_deal("2330", 100.0, 1, 1.0)
        assert matcher.positions.trade_records[0].timestamp is None


class TestCallbacks:
    def test_record_cancelled_by_a_callback_is_not_visited(self, console, logger):
        from quorvel.modules.matcher.matcher import Matcher
        from quorvel.modules.positions.positions import Positions

        class CancellingPositions(Positions):
            matcher = None

            def add_trade_record(self, **record):
                super().add_trade_record(**record)
                if len(self.trade_records) == 1:
                    book = self.matcher.pending_orders
                    self.matcher.cancel_order(book[0]["trade_id"])  # the walk's next record
                    self.matcher.add_order(**stock_order(code="2330", qty=7))  # the book's size is as expected

        positions = CancellingPositions()
        matcher = Matcher(positions)
        positions.matcher = matcher
        for _ in range(3):
            place(matcher, **stock_order(qty=1))
        matcher.match_deal("2330", 100.0, 10, 1.0)
        reports = kinds(take_reports(matcher))
        assert reports.count(("deal", 1)) == 2 and ("Cancel", 1) in reports
        assert [r["quantity"] for r in matcher.pending_orders] == [7]

    def test_a_record_reduced_to_zero_behind_the_book_never_fills_zero(self, matcher, book):
        book()
        matcher.pending_orders[0]["quantity"] = 0
        matcher.match_deal("2330", 100.0, 10, 1.0)
        assert take_reports(matcher) == [] and matcher.positions.trade_records == []


class TestFailures:
    def test_unsupported_product_type_on_cancel_raises_before_removal(self, matcher, book):
        book(order_type="IOC", price=90.0)
        matcher.pending_orders[0]["product_type"] = "Bond"
        with pytest.raises(Exception, match="^不支援的商品類型$"):
            matcher.match_deal("2330", 100.0, 3, 1.0)
        assert len(matcher.pending_orders) == 1

    def test_record_without_code_raises_after_the_records_before_it(self, matcher, book):
        book(qty=2)
        matcher.pending_orders.append({"price": 1.0})
        book(qty=2)
        with pytest.raises(KeyError, match="code"):
            matcher.match_deal("2330", 100.0, 10, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 2)] and len(matcher.pending_orders) == 2

    def test_used_up_budget_still_reaches_a_broken_record(self, matcher, book):
        # the walk goes on to expire IOC and FOK records, so it meets the record without "code"
        book(qty=2)
        book(qty=2)
        matcher.pending_orders.append({"price": 1.0})
        with pytest.raises(KeyError, match="code"):
            matcher.match_deal("2330", 100.0, 2, 1.0)
        assert kinds(take_reports(matcher)) == [("deal", 2)] and len(matcher.pending_orders) == 2

    def test_wrong_argument_types(self, matcher):
        with pytest.raises(TypeError, match="Argument 'tick_qty'"):
            matcher.match_deal("2330", 1.0, 1.5, 1.0)
        with pytest.raises(TypeError):
            matcher.match_deal("2330", "x", 1, 1.0)
