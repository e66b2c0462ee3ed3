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


def test_a_bool_or_any_other_non_whole_quantity_is_refused_and_sends_nothing(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    strategy = TriesQuantities()
    result = run_backtest(
        SimulatedBroker(0, ticks_per_day=20),
        ["2330"],
        RunSettings(("2024-01-08", "2024-01-08"), None),
        data_dir=str(tmp_path),
        strategy=strategy,
    )
    # modify(qty=None) is a change of price alone: with no price given it is refused too.
    expected = []
    for qty in NOT_QUANTITIES:
        refusal = f"qty must be a whole number of at least 1, not {qty!r}"
        modify = "give the quantity to take off, a price, or both" if qty is None else refusal
        expected += [refusal, refusal, modify]
    assert [text.split(": ", 1)[-1] for text in strategy.refusals] == expected
    # The resting order, and its expiry at the session's close.
    assert [action for action, _ in result.operations] == ["add", "cancel"]


class CutsAndRaises(Strategy):
    """On the first live tick of 2330, buys 3 lots at the day's lower limit (560), takes 1 off
    while raising the price to the upper limit (684: 2 lots there fit the capital, 3 would
    not), then takes off the 2 left."""

    def on_start(self):
        self.seen = []
        self.done = False

    def on_report(self, report):
        self.seen.append((report["operation_type"], report["order"]["quantity"]))

    def on_tick(self, tick):
        if self.done or tick["code"] != "2330":
            return
        self.done = True
        lower, upper = self.limits = self.limit_prices("2330")
        trade_id = self.buy("2330", 3, lower)
        self.modify(trade_id, qty=1, price=upper)
        self.modify(trade_id, qty=2)
        self.left = self.working_orders()


def test_a_modify_is_checked_by_what_it_leaves_and_may_take_off_all(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    strategy = CutsAndRaises()
    settings = RunSettings(("2024-01-08", "2024-01-08"), None, capital=1_700_000, latency_ms=0)
    result = run_backtest(
        SimulatedBroker(0, ticks_per_day=20),
        ["2330"],
        settings,
        data_dir=str(tmp_path),
        strategy=strategy,
    )
    assert strategy.limits == (560.0, 684.0)  # the prices the capital was chosen for
    assert strategy.seen == [("New", 3), ("UpdateQty", 2), ("UpdatePrice", 2), ("UpdateQty", 0)]
    assert strategy.left == []  # out of the book: nothing left to cancel at the close
    assert [action for action, _ in result.operations] == ["add", "modify", "modify"]


class BuysTwiceAtTheLimit(Strategy):
    """On the first live tick of 2330, buys 1 lot at the day's upper limit (684), which the
    standing ask fills as it enters, then another: the capital holds a second at 684 only once
    the first is paid for at the ask and no longer held at the limit."""

    def on_start(self):
        self.seen = []
        self.done = False

    def on_report(self, report):
        self.seen.append(report.get("operation_type", "Deal"))

    def on_tick(self, tick):
        if self.done or tick["code"] != "2330":
            return
        self.done = True
        upper = self.limit_prices("2330")[1]
        self.buy("2330", 1, upper)
        self.buy("2330", 1, upper)


def test_an_order_filled_as_it_enters_holds_nothing_afterwards(tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    strategy = BuysTwiceAtTheLimit()
    settings = RunSettings(("2024-01-08", "2024-01-08"), None, capital=1_400_000, latency_ms=0)
    run_backtest(
        SimulatedBroker(0, ticks_per_day=20),
        ["2330"],
        settings,
        data_dir=str(tmp_path),
        strategy=strategy,
    )
    assert strategy.seen == ["New", "Deal", "New", "Deal"]
