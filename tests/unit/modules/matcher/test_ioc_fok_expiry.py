"""IOC and FOK orders never outlive the tick that meets them, even when its quantity is used up."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvel.backtest import RunSettings, Strategy, run_backtest
from quorvel.constant import SuccessCode
from quorvel.modules.matcher.matcher import Matcher
from quorvel.sim import SimulatedBroker

from matcher_support import future_order, place, stock_order, take_reports


class PositionsRecorder:
    def __init__(self):
        self.calls = []

    def set_current_tick(self, tick):
        pass

    def add_trade_record(self, **record):
        self.calls.append(("record", record["trade_id"], record["trade_status"], record["quantity"],
                           record["timestamp"]))

    def set_positions(self, trade, product_type):
        self.calls.append(("positions", trade["trade_id"], trade["quantity"]))


def report_kinds(reports):
    """Each report as (trade id, "deal" or the operation, quantity), in queue order."""
    return [(r["id"], "deal", r["quantity"]) if "operation_type" not in r
            else (r["order"]["id"], r["operation_type"].value, r["order"]["quantity"]) for r in reports]


@pytest.fixture
def recorded(console, logger):
    positions = PositionsRecorder()
    return Matcher(positions), positions


def enter(matcher, *orders):
    return [place(matcher, **order) for order in orders]


class TestUnreachedRecordsAreCancelledWhole:
    def test_ioc_behind_a_rod_that_uses_up_the_tick(self, recorded):
        matcher, positions = recorded
        matcher.set_current_tick({"code": "2330", "timestamp": 5.0})
        rod, ioc = enter(matcher, stock_order(qty=3), stock_order(order_type="IOC", qty=2))
        matcher.match_deal("2330", 100.0, 3, 6.0)
        reports = take_reports(matcher)
        assert report_kinds(reports) == [(rod, "deal", 3), (ioc, "Cancel", 2)]
        cancel = reports[1]
        assert (cancel["operation_status_code"], cancel["operation_message"]) == (
            SuccessCode.OrderBeCancel.code, SuccessCode.OrderBeCancel.message)
        # the cancellation is dated by the latest tick given to set_current_tick, as every cancellation
        assert positions.calls == [("record", rod, "Deal", 3, 6.0), ("positions", rod, 3),
                                   ("record", ioc, "Cancel", 2, 5.0)]
        assert matcher.pending_orders == []

    def test_every_ioc_and_fok_beyond_the_budget_in_book_order(self, recorded):
        matcher, positions = recorded
        ioc_filled, fok_too_big, rod_partial, ioc_late, rod_late, fok_late = enter(
            matcher,
            stock_order(order_type="IOC", qty=2),
            stock_order(order_type="FOK", qty=5),  # cannot fill whole: cancelled, the walk goes on
            stock_order(qty=4),
            stock_order(order_type="IOC", qty=3),
            stock_order(qty=2),
            stock_order(order_type="FOK", qty=1, price=90.0),
        )
        matcher.match_deal("2330", 100.0, 5, 1.0)
        assert report_kinds(take_reports(matcher)) == [
            (ioc_filled, "deal", 2), (fok_too_big, "Cancel", 5), (rod_partial, "deal", 3),
            (ioc_late, "Cancel", 3), (fok_late, "Cancel", 1)]
        assert [call[1:4] for call in positions.calls if call[0] == "record"] == [
            (ioc_filled, "Deal", 2), (fok_too_big, "Cancel", 5), (rod_partial, "Deal", 3),
            (ioc_late, "Cancel", 3), (fok_late, "Cancel", 1)]
        assert [(r["trade_id"], r["quantity"]) for r in matcher.pending_orders] == [(rod_partial, 1), (rod_late, 2)]

    def test_a_tick_of_quantity_zero_cancels_ioc_and_fok_and_keeps_rod(self, recorded):
        matcher, positions = recorded
        rod, ioc, fok = enter(matcher, stock_order(), stock_order(order_type="IOC", qty=2),
                              stock_order(order_type="FOK", qty=3, price=90.0))
        matcher.match_deal("2330", 100.0, 0, 1.0)
        assert report_kinds(take_reports(matcher)) == [(ioc, "Cancel", 2), (fok, "Cancel", 3)]
        assert [call[:3] for call in positions.calls] == [("record", ioc, "Cancel"), ("record", fok, "Cancel")]
        assert [(r["trade_id"], r["quantity"]) for r in matcher.pending_orders] == [(rod, 5)]

    def test_other_instruments_are_untouched(self, recorded):
        matcher, _ = recorded
        future_ioc, stock_ioc = enter(matcher, future_order(order_type="IOC"), stock_order(order_type="FOK"))
        matcher.match_deal("2330", 100.0, 0, 1.0)
        assert report_kinds(take_reports(matcher)) == [(stock_ioc, "Cancel", 5)]
        assert [r["trade_id"] for r in matcher.pending_orders] == [future_ioc]

    def test_an_ioc_entered_during_the_call_waits_for_its_own_tick(self, console, logger):
        class EnteringPositions(PositionsRecorder):
            def add_trade_record(self, **record):
                super().add_trade_record(**record)
                matcher.add_order(**stock_order(order_type="IOC", qty=1))

        matcher = Matcher(EnteringPositions())
        enter(matcher, stock_order(qty=3))
        matcher.match_deal("2330", 100.0, 3, 1.0)
        [entered] = matcher.pending_orders
        assert entered["order_type"].value == "IOC"
        take_reports(matcher)
        matcher.match_deal("2330", 100.0, 0, 2.0)
        # its cancellation enters one more IOC, which waits in turn
        cancels = [kind for kind in report_kinds(take_reports(matcher)) if kind[1] != "New"]
        assert cancels == [(entered["trade_id"], "Cancel", 1)]
        assert [r["trade_id"] for r in matcher.pending_orders] != [entered["trade_id"]]
        assert len(matcher.pending_orders) == 1


# A book of orders over two codes, and a tick of the first code.
ORDERS = st.lists(
    st.fixed_dictionaries({
        "code": st.sampled_from(["2330", "2317"]),
        "action": st.sampled_from(["Buy", "Sell"]),
        "price": st.sampled_from([99.0, 100.0, 101.0]),
        "qty": st.integers(1, 6),
        "price_type": st.sampled_from(["LMT", "MKT"]),
        "order_type": st.sampled_from(["ROD", "IOC", "FOK"]),
    }),
    max_size=8,
)
PROPERTY = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def price_meets(order, tick_close):
    if order["price_type"] != "LMT":
        return True
    return tick_close <= order["price"] if order["action"] == "Buy" else tick_close >= order["price"]


@PROPERTY
@given(orders=ORDERS, tick_close=st.sampled_from([99.0, 100.0, 101.0]), tick_qty=st.integers(0, 12))
def test_book_and_reports_reconcile_after_any_tick(matcher, orders, tick_close, tick_qty):
    matcher.pending_orders.clear()
    for order in orders:
        matcher.add_order(product_type="Stock", **order)
    take_reports(matcher)
    before = [(record, record["trade_id"], record["quantity"], order)
              for record, order in zip(list(matcher.pending_orders), orders)]

    matcher.match_deal("2330", tick_close, tick_qty, 1.0)

    deals, cancels, reported_order = {}, {}, []
    for trade_id, kind, quantity in report_kinds(take_reports(matcher)):
        (deals if kind == "deal" else cancels)[trade_id] = quantity
        reported_order.append(trade_id)
    remaining = {record["trade_id"]: record["quantity"] for record in matcher.pending_orders}
    book_order = [trade_id for _, trade_id, _, _ in before]
    assert reported_order == sorted(reported_order, key=book_order.index)
    assert sum(deals.values()) <= tick_qty
    rod_waiting = False
    for record, trade_id, quantity, order in before:
        if order["code"] != "2330":
            assert remaining.get(trade_id) == quantity and trade_id not in deals and trade_id not in cancels
        elif order["order_type"] == "ROD":
            assert trade_id not in cancels
            assert remaining.get(trade_id, 0) == quantity - deals.get(trade_id, 0)
            rod_waiting |= trade_id in remaining and price_meets(order, tick_close)
        else:
            assert trade_id not in remaining
            assert deals.get(trade_id, 0) + cancels.get(trade_id, 0) == quantity
            if order["order_type"] == "FOK":
                assert quantity in (deals.get(trade_id), cancels.get(trade_id))
            if not price_meets(order, tick_close):
                assert cancels[trade_id] == quantity
    # a ROD order the price meets waits for a later tick only when this tick's quantity is used up
    if rod_waiting:
        assert sum(deals.values()) == tick_qty


class IocBehindAGreedyRod(Strategy):
    """On the first live tick of 2330: a market ROD larger than any tick, then a market IOC of 1."""

    def on_start(self):
        self.ioc = None
        self.met_at = None  # the first tick of 2330 after the two orders were entered
        self.ioc_reports = []

    def on_tick(self, tick):
        if tick["code"] != "2330":
            return
        if self.ioc is None:
            self.buy("2330", 10**6, order_type="ROD")
            self.ioc = self.buy("2330", 1)
        elif self.met_at is None:
            self.met_at = tick["timestamp"]

    def on_report(self, report):
        if "operation_type" not in report and report["id"] == self.ioc:
            self.ioc_reports.append(("Deal", report["quantity"], self.now))
        elif "operation_type" in report and report["order"]["id"] == self.ioc and report["operation_type"] != "New":
            self.ioc_reports.append((report["operation_type"], report["order"]["quantity"], self.now))


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_an_ioc_behind_a_rod_never_outlives_its_tick_in_either_engine(engines_built, tmp_path, engine):
    strategy = IocBehindAGreedyRod()
    settings = RunSettings(("2024-01-08", "2024-01-08"), None, engine=engine, window=4,
                           stall_timeout=30, account_rules=False, fill_model="touch", latency_ms=0)
    run_backtest(SimulatedBroker(5, ticks_per_day=60), ["2330", "TXFR1"], settings,
                 data_dir=str(tmp_path), strategy=strategy)
    assert strategy.met_at is not None
    assert strategy.ioc_reports == [("Cancel", 1, strategy.met_at)]
