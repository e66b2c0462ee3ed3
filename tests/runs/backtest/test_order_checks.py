"""The desk refuses a quantity that is not a whole number of lots before anything is sent,
checks a modification by the order it leaves, and the account holds an order's money until it
fills, even at its entry."""

import pytest

from quorvel.backtest import OrderError, RunSettings, Strategy, run_backtest
from quorvel.sim import SimulatedBroker

# Quantities that are not a plain whole number of at least 1: a bool is an int to Python.
NOT_QUANTITIES = [True, False, 1.0, "1", 0, -1, None]


class TriesQuantities(Strategy):
    """On the first live tick of 2330, rests an order, then tries every quantity of
    `NOT_QUANTITIES` with buy, sell and modify, and records each refusal."""

    def on_start(self):
        self.refusals = []
        self.done = False

    def on_tick(self, tick):
        if self.done or tick["code"] != "2330":
            return
        self.done = True
        resting = self.buy("2330", 1, self.limit_prices("2330")[0])
        for qty in NOT_QUANTITIES:
            for operation in (
                lambda: self.buy("2330", qty),
                lambda: self.sell("2330", qty, tick["close"]),
                lambda: self.modify(resting, qty=qty),
            ):
                try:
                    operation()
                except OrderError as error:
                    self.refusals.append(str(error))


def run_day(tmp_path, strategy, **settings):
    """A day of 20 ticks of 2330, whose lower and upper limits are 560 and 684."""
    day = RunSettings(("2024-01-08", "2024-01-08"), None, **settings)
    broker = SimulatedBroker(0, ticks_per_day=20)
    return run_backtest(broker, ["2330"], day, data_dir=str(tmp_path), strategy=strategy)


def test_a_bool_or_any_other_non_whole_quantity_is_refused_and_sends_nothing(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    strategy = TriesQuantities()
    result = run_day(tmp_path, strategy)
    # modify(qty=None) is a change of price alone: with no price given it is refused too.
    expected = []
    for qty in NOT_QUANTITIES:
        refusal = f"qty must be a whole number of at least 1, not {qty!r}"
        modify = "give the quantity to take off, a price, or both" if qty is None else refusal
        expected += [refusal, refusal, modify]
    assert [text.split(": ", 1)[-1] for text in strategy.refusals] == expected
    # The resting order, and its expiry at the session's close.
    assert [action for action, _ in result.operations] == ["add", "cancel"]



class Modifies(Strategy):
    """At the first live tick of 2330, buys 3 lots at the lower limit, takes 1 off while raising
    the price to the upper limit (2 lots there fit the capital, 3 would not), takes off the 2
    left, then buys 1 lot at the upper limit twice: the standing ask fills each as it enters,
    and a fill at entry holds nothing afterwards."""

    def on_report(self, report):
        self.seen.append(report.get("operation_type", "Deal"))

    def on_tick(self, tick):
        if tick["code"] != "2330" or hasattr(self, "seen"):
            return
        self.seen, (lower, upper) = [], self.limit_prices("2330")
        trade_id = self.buy("2330", 3, lower)
        self.modify(trade_id, qty=1, price=upper)
        self.modify(trade_id, qty=2)
        self.left = self.working_orders()
        self.buy("2330", 1, upper)
        self.buy("2330", 1, upper)


def test_a_modify_is_checked_by_what_it_leaves_and_an_order_by_what_is_paid(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    strategy = Modifies()
    run_day(tmp_path, strategy, capital=1_700_000, latency_ms=0)
    updates = ["UpdateQty", "UpdatePrice", "UpdateQty"]
    assert strategy.seen == ["New", *updates, "New", "Deal", "New", "Deal"]
    assert strategy.left == []  # all taken off: out of the book
