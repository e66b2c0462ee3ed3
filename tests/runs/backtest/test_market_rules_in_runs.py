"""The market's rules in whole runs: the desk's refusals, the day's price limits from the
reference price, day orders expiring at each session's close, both engines alike, and the raw
exchange without them."""

import datetime as dt
import math
from dataclasses import replace

import pytest

from quorvel import market
from quorvel.backtest import OrderError, Strategy
from quorvel.sim import SimulatedBroker

from backtest_support import backtest, masked

SEED = 2
TICKS_PER_DAY = 300
CODES = ["2330", "TXFR1"]
PERIOD = ("2024-01-08", "2024-01-09")
BACKFILL = ("2024-01-05", "2024-01-05")
DAY_BEFORE = "2024-01-04"  # the trading day before the run's first
ENGINES = ["replay", "paced"]

pytestmark = pytest.mark.usefixtures("engines_built")


def run(data_dir, strategy, engine="replay", **options):
    # An account that carries any order: the market's rules alone.
    return backtest(data_dir, strategy, market_seed=SEED, ticks_per_day=TICKS_PER_DAY, engine=engine,
                    window=4, account_rules=False, **options)


def on_both_engines(data_dir, strategy_class):
    """engine -> (strategy, result) of a run of each engine."""
    runs = {}
    for engine in ENGINES:
        strategy = strategy_class()
        runs[engine] = strategy, run(data_dir, strategy, engine)
    return runs


def last_close(code, day):
    """The last price of `code` on trading day `day`, asked of the offline broker directly."""
    broker = SimulatedBroker(SEED, ticks_per_day=TICKS_PER_DAY)
    registry = broker.Contracts.Stocks if code[0].isdigit() else broker.Contracts.Futures
    return broker.ticks(contract=registry[code], date=day).close[-1]


def refusal(operation):
    with pytest.raises(OrderError) as refused:
        operation()
    return str(refused.value)


def kinds(reports):
    return [report.get("operation_type", "Deal") for report in reports]


# (code, price) -> the price step there.
STEPS = {
    ("2330", 568.3): 1.0,
    ("2330", 49.97): 0.05,
    ("0050", 49.97): 0.01,
    ("0050", 120.0): 0.05,
    ("TXFR1", 17503.0): 1.0,
}


class Probe(Strategy):
    """Enters a market order before the first tick; on the first live tick of each code tries
    the limit prices the exchange refuses, then enters an order and tries to move it there."""

    def on_start(self):
        self.buy("2330", 1)  # a market order has no price to check, even before any tick
        self.steps = {key: self.tick_size(*key) for key in STEPS}
        self.opening_limits = self.limit_prices("2330")
        self.seen, self.refusals = {}, []

    def on_tick(self, tick):
        code, close = tick["code"], tick["close"]
        if code in self.seen:
            return
        lower, upper = self.limit_prices(code)
        self.seen[code] = (close, lower, upper)
        off_step = close + 0.3  # both codes trade on a step of 1 here
        resting = self.buy(code, 2, lower)
        for operation in (
            lambda: self.buy(code, 1, off_step),
            lambda: self.sell(code, 1, upper + 1, "IOC"),
            lambda: self.buy(code, 1, lower - 1, "FOK"),
            lambda: self.modify(resting, price=off_step),
            lambda: self.modify(resting, qty=1, price=upper + 1),
        ):
            self.refusals.append(refusal(operation))
        self.modify(resting, price=upper)
        self.cancel(resting)


@pytest.fixture(scope="module")
def probed(data_dir):
    return on_both_engines(data_dir, Probe)


@pytest.mark.parametrize("engine", ENGINES)
class TestTheDesk:
    def test_prices_off_the_step_or_beyond_the_limits_are_refused_saying_what_is_valid(
        self, probed, engine
    ):
        strategy, _ = probed[engine]
        expected = []
        for code in strategy.seen:  # in the order of their first live ticks
            close, lower, upper = (int(value) for value in strategy.seen[code])
            beyond = f"is beyond {code}'s price limits of the day, {lower} to {upper}"
            off_step = f"{close}.3 is not on {code}'s price step 1; {close} or {close + 1}"
            expected += [off_step, f"{upper + 1} {beyond}", f"{lower - 1} {beyond}"]
            expected += [off_step, f"{upper + 1} {beyond}"]
        assert strategy.refusals == expected
        _, lower, upper = strategy.seen["2330"]
        assert 500 < lower and upper + 1 < 1000  # 2330's step is 1 throughout

    def test_refused_operations_send_nothing_and_good_ones_go_through(self, probed, engine):
        _, result = probed[engine]
        of_2330 = [r for r in result.reports if r.get("order", r)["code"] == "2330"]
        # The market order, filled at the first tick; then the resting order, moved and cancelled.
        assert kinds(of_2330) == ["New", "Deal", "New", "UpdatePrice", "Cancel"]
        orders = [report for report in result.reports if "order" in report]
        assert kinds(orders) == ["New", *["New", "UpdatePrice", "Cancel"] * len(CODES)]
        assert [action for action, _ in result.operations].count("add") == 1 + len(CODES)

    def test_the_strategy_reads_price_steps_and_the_days_limits(self, probed, engine):
        strategy, _ = probed[engine]
        assert strategy.steps == STEPS
        reference = last_close("2330", DAY_BEFORE)
        assert strategy.opening_limits == market.limit_prices("2330", reference)


def test_outside_a_run_there_are_no_limits_to_read():
    with pytest.raises(RuntimeError, match="during a run only"):
        Probe().limit_prices("2330")


class LimitRecorder(Strategy):
    """Records each code's day limits at every tick and each trading day's last price."""

    def on_start(self):
        self.limits, self.last = {}, {}

    def warm_up(self, tick):
        key = (tick["code"], market.trading_day_of(tick["timestamp"]).isoformat())
        self.limits.setdefault(key, set()).add(self.limit_prices(tick["code"]))
        self.last[key] = tick["close"]

    on_tick = warm_up


class TestTheReferencePrice:
    def test_each_days_limits_come_from_the_last_price_of_the_trading_day_before(self, data_dir):
        strategy = LimitRecorder()
        run(data_dir, strategy)
        days = [BACKFILL[0], *PERIOD]
        for code in CODES:
            # TXFR1's night session counts for the next day: its limits are that day's.
            references = [last_close(code, DAY_BEFORE)]
            references += [strategy.last[code, day] for day in days[:-1]]
            assert [strategy.limits[code, day] for day in days] == [
                {market.limit_prices(code, reference)} for reference in references
            ]

    def test_custom_rules_set_other_limits(self, data_dir):
        seven = replace(market.TAIWAN.stock.limit, fraction=0.07)
        rules = replace(market.TAIWAN, stock=replace(market.TAIWAN.stock, limit=seven))
        strategy = LimitRecorder()
        run(data_dir, strategy, market_rules=rules)
        reference = strategy.last["2330", BACKFILL[0]]
        assert strategy.limits["2330", PERIOD[0]] == {rules.limit_prices("2330", reference)}
        assert rules.limit_prices("2330", 580) == (540.0, 620.0)

    def test_without_the_day_before_the_first_day_has_no_limits_to_check(self, tmp_path):
        class WithoutTheDayBefore(SimulatedBroker):
            def ticks(self, contract, date):
                if date == DAY_BEFORE:
                    raise LookupError(f"{date} is not held")
                return super().ticks(contract=contract, date=date)

        class FarAway(LimitRecorder):
            def warm_up(self, tick):
                super().warm_up(tick)
                if not hasattr(self, "far_away"):
                    self.far_away = market.step_down("2330", tick["close"] * 1.5)
                    self.buy("2330", 1, self.far_away)

        strategy = FarAway()
        broker = WithoutTheDayBefore(SEED, ticks_per_day=TICKS_PER_DAY)
        result = run(tmp_path, strategy, broker=broker, codes=["2330"])
        assert strategy.limits["2330", BACKFILL[0]] == {None}
        assert result.reports[0]["order"]["price"] == strategy.far_away  # entered
        reference = strategy.last["2330", BACKFILL[0]]
        assert strategy.limits["2330", PERIOD[0]] == {market.limit_prices("2330", reference)}


class DayOrders(Strategy):
    """A ROD buy at the lower limit in every session of every code, which waits there; an IOC
    buy at the lower limit at 2330's closing call auction, its session's last tick."""

    def on_start(self):
        self.events = []  # ("tick", code, None, timestamp) or (report kind, code, trade id, now)
        self.placed = {}  # trade id -> (order type, its session's close)
        self.sessions = set()

    def on_tick(self, tick):
        code, timestamp = tick["code"], tick["timestamp"]
        self.events.append(("tick", code, None, timestamp))
        session = market.session_at(code, timestamp)
        lower, _ = self.limit_prices(code)
        if (code, session.opens) not in self.sessions:
            self.sessions.add((code, session.opens))
            self.placed[self.buy(code, 2, lower)] = ("ROD", session.close_timestamp)
        if tick["tick_type"] == 0:
            self.placed[self.buy(code, 1, lower, "IOC")] = ("IOC", session.close_timestamp)

    def on_report(self, report):
        kind = report.get("operation_type", "Deal")
        if kind in ("Cancel", "Deal"):
            order = report.get("order", report)
            self.events.append((kind, order["code"], order["id"], self.now))

    def on_end(self):
        self.left = [record["order_type"] for record in self.working_orders()]


def tick_times(events, code=None):
    return [moment for kind, of, _, moment in events if kind == "tick" and code in (None, of)]


@pytest.fixture(scope="module")
def day_orders(data_dir):
    return on_both_engines(data_dir, DayOrders)


@pytest.mark.parametrize("engine", ENGINES)
class TestDayOrdersExpire:
    def test_at_each_sessions_close_before_the_next_sessions_first_tick(self, day_orders, engine):
        strategy, _ = day_orders[engine]
        events = strategy.events
        expired = []
        for index, (kind, code, trade_id, now) in enumerate(events):
            if kind == "tick" or strategy.placed[trade_id][0] != "ROD":
                continue
            close = strategy.placed[trade_id][1]
            before, after = tick_times(events[:index]), tick_times(events[index:])
            assert kind == "Cancel"
            assert now == before[-1] <= close < min(after, default=math.inf)
            expired.append((code, market.wall_clock(close).time()))
        assert len(expired) == len(strategy.sessions)
        assert set(expired) == {
            ("2330", dt.time(13, 30)),
            ("TXFR1", dt.time(13, 45)),
            ("TXFR1", dt.time(5, 0)),  # the night session's
        }

    def test_ioc_orders_entered_at_a_sessions_last_tick_end_at_its_close(self, day_orders, engine):
        strategy, _ = day_orders[engine]
        iocs = [trade_id for trade_id, (kind, _) in strategy.placed.items() if kind == "IOC"]
        assert len(iocs) == 2
        for trade_id in iocs:
            close = strategy.placed[trade_id][1]
            ends = [(kind, now) for kind, _, of, now in strategy.events if of == trade_id]
            last_tick = max(moment for moment in tick_times(strategy.events, "2330") if moment <= close)
            assert ends == [("Cancel", last_tick)]  # not met by the next morning's first tick
        assert strategy.left == []


def without_ids(events):
    """The events with each trade id replaced by its order of first appearance."""
    numbers = {None: None}
    return [
        (kind, code, numbers.setdefault(trade_id, len(numbers)), moment)
        for kind, code, trade_id, moment in events
    ]


def test_both_engines_refuse_expire_and_report_alike(probed, day_orders):
    for runs in (probed, day_orders):
        (_, replayed), (_, paced) = runs["replay"], runs["paced"]
        assert masked(replayed.reports) == masked(paced.reports)
        assert replayed.timeline == paced.timeline
    assert probed["replay"][0].refusals == probed["paced"][0].refusals
    replayed, paced = (without_ids(day_orders[engine][0].events) for engine in ENGINES)
    assert replayed == paced


class LastCallBuyer(Strategy):
    """At 2330's closing call auction on Friday, a ROD buy 3 % above the price."""

    def on_start(self):
        self.ticks, self.trade_id, self.ended = [], None, None

    def on_tick(self, tick):
        self.ticks.append(tick["timestamp"])
        if self.trade_id is None and tick["tick_type"] == 0:
            self.trade_id = self.buy("2330", 1, market.step_down("2330", tick["close"] * 1.03))

    def on_report(self, report):
        kind = report.get("operation_type", "Deal")
        if report.get("order", report)["id"] == self.trade_id and kind in ("Cancel", "Deal"):
            self.ended = (kind, self.now)


@pytest.mark.parametrize(
    "engine, market_rules, ends_at",
    [
        ("replay", market.TAIWAN, ("Cancel", "Friday's close")),
        ("paced", market.TAIWAN, ("Cancel", "Friday's close")),
        ("replay", None, ("Deal", "Monday's first tick")),
    ],
)
def test_a_day_order_left_at_fridays_close_never_meets_mondays_ticks(
    data_dir, engine, market_rules, ends_at
):
    strategy = LastCallBuyer()
    run(
        data_dir,
        strategy,
        engine,
        codes=["2330"],
        period=("2024-01-05", "2024-01-08"),
        backfill=None,
        market_rules=market_rules,
    )
    fridays_last = strategy.ticks.index(max(tick_times_on(strategy.ticks, dt.date(2024, 1, 5))))
    moments = {
        "Friday's close": strategy.ticks[fridays_last],
        "Monday's first tick": strategy.ticks[fridays_last + 1],
    }
    assert strategy.ended == (ends_at[0], moments[ends_at[1]])


def tick_times_on(moments, day):
    return [moment for moment in moments if market.wall_clock(moment).date() == day]


class Unruled(Strategy):
    """Enters prices the market would refuse, and leaves them in the book."""

    def on_start(self):
        self.limits, self.entered = set(), []

    def on_tick(self, tick):
        code, close = tick["code"], tick["close"]
        self.limits.add(self.limit_prices(code))
        if code == "2330" and not self.entered:
            self.entered = [
                self.buy(code, 1, close + 0.3),
                self.buy(code, 1, close * 0.5),
                self.sell(code, 1, close * 2),
            ]

    def on_end(self):
        self.left = [record["trade_id"] for record in self.working_orders()]


@pytest.mark.parametrize("engine", ENGINES)
def test_the_raw_exchange_refuses_no_price_and_expires_nothing(data_dir, engine):
    strategy = Unruled()
    result = run(data_dir, strategy, engine, market_rules=None)
    assert strategy.limits == {None}
    assert kinds(result.reports).count("New") == 3 and "Cancel" not in kinds(result.reports)
    assert strategy.entered[1:] == [trade_id for trade_id in strategy.left]
