"""The two engines agree: same ticks, same reports, same positions, for every example strategy."""

import pytest
from backtest_support import CODES, backtest, masked
from quorvel.examples.bar_trend import BarTrend
from quorvel.examples.breakout import Breakout
from quorvel.examples.market_maker import MarketMaker
from quorvel.examples.mean_reversion import MeanReversion

from quorvel.backtest import BacktestInterrupted, OrderError, Strategy

# Parameters that make a short run trade often.
EXAMPLES = [
    MeanReversion(ma=20, band=0.0005, every=10, lot=2, max_position=4, rod_ttl=30),
    Breakout(lookback=20, stop=0.001),
    MarketMaker(spread=1, requote=1, every=5, lot=2, max_position=4),
    BarTrend(fast=2, slow=4),
]


pytestmark = pytest.mark.usefixtures("engines_built")


def run(data_dir, strategy, engine="replay", **settings):
    return backtest(data_dir, strategy, engine=engine, window=4, **settings)


@pytest.mark.parametrize("strategy", EXAMPLES, ids=lambda s: type(s).__name__)
def test_both_engines_give_the_same_reports_positions_and_pnl(data_dir, strategy):
    replayed = run(data_dir, strategy, "replay")
    paced = run(data_dir, strategy, "paced")
    assert len(replayed.reports) > 20
    assert masked(replayed.reports) == masked(paced.reports)
    assert replayed.positions.summary() == paced.positions.summary()
    assert replayed.timeline == paced.timeline
    assert (replayed.live_ticks, replayed.backfill_ticks) == (
        paced.live_ticks,
        paced.backfill_ticks,
    )


class TickRecorder(Strategy):
    def on_start(self):
        self.ticks = []

    def warm_up(self, tick):
        self.ticks.append(tick)

    def on_tick(self, tick):
        self.ticks.append(tick)


def test_the_replayed_ticks_are_the_feeds_ticks_key_for_key_and_type_for_type(data_dir):
    replayed, paced = TickRecorder(), TickRecorder()
    run(data_dir, replayed, "replay")
    run(data_dir, paced, "paced")

    def typed(ticks):
        return [[(key, type(value), value) for key, value in tick.items()] for tick in ticks]

    assert len(replayed.ticks) == 3 * len(CODES) * 300
    assert typed(replayed.ticks) == typed(paced.ticks)


class Scripted(Strategy):
    """Enters, changes and cancels one resting order on the first live tick of 2330."""

    def on_start(self):
        self.seen = []
        self.refusals = []
        self.done = False

    def on_report(self, report):
        self.seen.append(report.get("operation_type", "Deal"))

    def on_tick(self, tick):
        if self.done or tick["code"] != "2330":
            return
        self.done = True
        lower, _ = self.limit_prices("2330")
        trade_id = self.trade_id = self.buy("2330", 3, lower)
        assert [order["trade_id"] for order in self.working_orders("2330")] == [trade_id]
        self.modify(trade_id, qty=1, price=lower + self.tick_size("2330", lower))  # two reports
        self.refuse(lambda: self.modify(trade_id))
        self.refuse(lambda: self.modify(trade_id, qty=3))
        self.cancel(trade_id)
        for operation in (
            lambda: self.cancel(trade_id),
            lambda: self.modify("no-such-id", price=1.0),
            lambda: self.buy("9999", 1),
            lambda: self.buy("2330", 0),
            lambda: self.sell("2330", 1, -5.0),
            lambda: self.sell("2330", 1, float("inf")),
            lambda: self.buy("2330", 1, float("nan")),
            lambda: self.buy("2330", 1, 1e308),
            lambda: self.buy("2330", 1, 628.0000001),
            lambda: self.sell("2330", 1, order_type="GTC"),
        ):
            self.refuse(operation)

    def refuse(self, operation):
        with pytest.raises(OrderError) as refused:
            operation()
        self.refusals.append(str(refused.value))


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_operations_with_two_reports_or_none_never_stall_the_run(data_dir, engine):
    strategy = Scripted()
    result = run(data_dir, strategy, engine, account_rules=False)  # 3 lots at the lower limit
    assert strategy.seen == ["New", "UpdateQty", "UpdatePrice", "Cancel"]
    trade_id = strategy.trade_id
    assert strategy.refusals == [
        f"modify {trade_id}: give the quantity to take off, a price, or both",
        f"modify {trade_id}: cannot take 3 off an order of 2",
        f"no working order {trade_id!r}: filled, cancelled or never entered",
        "no working order 'no-such-id': filled, cancelled or never entered",
        "unknown code '9999': this run trades 2330, TXFR1",
        "qty must be a whole number of at least 1, not 0",
        "price must be a positive finite number, not -5.0",
        "price must be a positive finite number, not inf",
        "price must be a positive finite number, not nan",
        "price must be below 1e+15, not 1e+308",
        "628.0000001 is not on 2330's price step 1; 628 or 629",
        "order_type must be one of ROD, IOC, FOK, not 'GTC'",
    ]
    assert [action for action, _ in result.operations] == ["add", "modify", "cancel"]
    assert result.live_ticks == 2 * len(CODES) * 300


class Interrupted(Strategy):
    """Buys once, and is interrupted when the fill is reported."""

    def on_start(self):
        self.bought = False

    def on_tick(self, tick):
        if not self.bought and tick["code"] == "2330":
            self.bought = True
            self.buy("2330", 1)

    def on_report(self, report):
        if "operation_type" not in report:
            raise KeyboardInterrupt


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_an_interrupt_propagates_with_the_run_so_far(data_dir, engine):
    with pytest.raises(BacktestInterrupted) as interrupted:
        run(data_dir, Interrupted(), engine)
    partial = interrupted.value.result
    assert partial.positions.positions["2330"].quantity == 1
    assert [r.get("operation_type", "Deal") for r in partial.reports] == ["New", "Deal"]


def test_an_interrupted_run_counts_the_same_ticks_on_both_engines(data_dir):
    counts = []
    for engine in ("replay", "paced"):
        with pytest.raises(BacktestInterrupted) as interrupted:
            run(data_dir, Interrupted(), engine)
        partial = interrupted.value.result
        counts.append((partial.live_ticks, partial.backfill_ticks))
    assert counts[0] == counts[1] and counts[0][0] > 0
