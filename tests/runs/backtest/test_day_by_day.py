"""The replay engine loads and replays a day at a time: it gives what one walk over the whole
period gives (the paced engine loads the period at once), holds about two days of ticks, and
leaves no loading thread behind however the run ends."""

import threading
import weakref

import pytest
from backtest_support import backtest
from test_engines import masked

from quorvel import market
from quorvel.backtest import BacktestError, Strategy, StrategyError
from quorvel.backtest.engine.days import span_days
from quorvel.backtest.engine.market_rules import opening_references
from quorvel.constant import BASIC_INFO
from quorvel.data.tick_files import market_of
from quorvel.modules.ticker import feed
from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import SimulatedBroker

PERIOD = ("2024-01-08", "2024-01-12")  # Monday to Friday
CODES = ["2330", "TXFR1"]
DISTANCE = 0.002

pytestmark = pytest.mark.usefixtures("engines_built")


class Resting(Strategy):
    """Keeps one limit order of each code resting 0.2% from the last price, a buy while the
    code is flat and a sell while it is held: many orders rest past the close and fill on a
    later day."""

    def on_start(self):
        self.ticks = 0

    def on_tick(self, tick):
        self.ticks += 1
        code = tick["code"]
        if self.ticks % 41 or self.working_orders(code):
            return
        if self.position(code):
            self.sell(code, 1, market.TAIWAN.step_up(code, tick["close"] * (1 + DISTANCE)))
        else:
            self.buy(code, 1, market.TAIWAN.step_down(code, tick["close"] * (1 - DISTANCE)))


def run(data_dir, engine, backfill, strategy=None, ticks_per_day=400, **settings):
    settings = {"period": PERIOD, **settings}
    return backtest(data_dir, strategy or Resting(), ticks_per_day=ticks_per_day, backfill=backfill,
                    engine=engine, window=8, **settings)


def filled_on_a_later_day(result):
    """How many fills came on a later trading day than their order's entry."""
    entered = {
        report["order"]["id"]: market.trading_day_of(report["trade_status"]["exchange_ts"])
        for report in result.reports
        if report.get("operation_type") == "New"
    }
    return sum(
        market.trading_day_of(report["exchange_ts"]) > entered[report["id"]]
        for report in result.reports
        if "operation_type" not in report
    )


def expired(result):
    """How many orders a session's close cancelled."""
    return sum(
        report.get("operation_type") == "Cancel" and report["order"]["order_type"] == "ROD"
        for report in result.reports
    )


@pytest.mark.parametrize("backfill", [None, 2], ids=["no backfill", "two backfill days"])
@pytest.mark.parametrize("market_rules", [market.TAIWAN, None], ids=["market rules", "raw exchange"])
def test_a_period_replayed_day_by_day_gives_what_the_whole_period_gives(
    data_dir, backfill, market_rules
):
    by_day = run(data_dir, "replay", backfill, market_rules=market_rules)
    whole = run(data_dir, "paced", backfill, market_rules=market_rules)
    # Under the market's rules the closes between the days cancel what rests; on the raw
    # exchange it works on into a later day.
    if market_rules:
        assert expired(by_day) >= 2
    else:
        assert filled_on_a_later_day(by_day) >= 2
    assert masked(by_day.reports) == masked(whole.reports)
    assert by_day.positions.summary() == whole.positions.summary()
    assert by_day.timeline == whole.timeline and by_day.balances == whole.balances
    assert by_day.evaluate().total.as_dict() == whole.evaluate().total.as_dict()
    assert (by_day.live_ticks, by_day.backfill_ticks) == (whole.live_ticks, whole.backfill_ticks)
    assert by_day.live_ticks == 5 * len(CODES) * 400


class RowsAlive(Strategy):
    """Counts, at every tick, the rows of the loaded frames still held anywhere."""

    def __init__(self, loaded):
        super().__init__()
        self.loaded = loaded
        self.most = 0

    def on_tick(self, tick):
        alive = sum(rows for frame, rows, *_ in self.loaded if frame() is not None)
        self.most = max(self.most, alive)


def test_a_run_holds_the_day_it_replays_and_the_next_one_at_most(data_dir, monkeypatch):
    loaded = []
    load = feed.load

    def watched_load(ticker, instruments, start, end, on_day):
        frame = load(ticker, instruments, start, end, on_day)
        loaded.append((weakref.ref(frame), frame.height, start, len(instruments)))
        return frame

    monkeypatch.setattr(feed, "load", watched_load)
    strategy = RowsAlive(loaded)
    result = run(data_dir, "replay", 2, strategy, period=("2024-01-08", "2024-01-19"))
    days = span_days(*result.backfill) + span_days(*result.period)
    # Besides its days, a run under the market's rules loads the day before them for the
    # reference prices.
    assert sorted(start for _, _, start, _ in loaded if start in days) == days
    assert [load[2:] for load in loaded if load[2] not in days] == [("2024-01-03", len(CODES))]
    day = len(CODES) * 400
    assert day <= strategy.most <= 2 * day and result.live_ticks == 10 * day


class FailsOnWednesday(Strategy):
    def on_tick(self, tick):
        if market.trading_day_of(tick["timestamp"]).isoformat() == "2024-01-10":
            raise ValueError("no Wednesdays")


def loading_threads():
    return [thread for thread in threading.enumerate() if thread.name.startswith("quorvel-load-")]


def test_a_run_that_stops_mid_period_keeps_its_days_and_leaves_no_loading_thread(data_dir):
    with pytest.raises(StrategyError) as stopped:
        run(data_dir, "replay", None, FailsOnWednesday())
    assert stopped.value.result.live_ticks == 2 * len(CODES) * 400 + 1
    assert loading_threads() == []


class UnreachableAfterTuesday(SimulatedBroker):
    """A broker whose history query fails from Wednesday on."""

    def ticks(self, contract, date):
        if date >= "2024-01-10":
            raise ConnectionError("the broker cannot be reached")
        return super().ticks(contract=contract, date=date)


def test_a_day_that_cannot_be_loaded_ends_the_run_after_the_days_before_it(tmp_path):
    replayed = []

    class Counting(Strategy):
        def on_tick(self, tick):
            replayed.append(market.trading_day_of(tick["timestamp"]).isoformat())

    with pytest.raises(BacktestError, match="2330 2024-01-10 failed 3 times, the last with Conn"):
        backtest(tmp_path / "fresh", Counting(), broker=UnreachableAfterTuesday(5, ticks_per_day=50),
                 period=PERIOD, backfill=None, broker_wait=0)
    assert sorted(set(replayed)) == ["2024-01-08", "2024-01-09"]
    assert loading_threads() == []


class WithoutTheFutureOnFriday(SimulatedBroker):
    """A source that does not hold TXFR1's Friday 5 January, the day before the period."""

    def ticks(self, contract, date):
        if (contract.code, date) == ("TXFR1", "2024-01-05"):
            self.tick_requests.append((contract.code, date))
            raise LookupError("not held")
        return super().ticks(contract=contract, date=date)


@pytest.mark.parametrize("codes", [["TXFR1", "2330"], ["2330", "TXFR1"]])
def test_the_reference_prices_leave_out_only_an_instrument_whose_source_lacks_the_day(
    codes, tmp_path, monkeypatch
):
    monkeypatch.setattr(BASIC_INFO, "data_dir", str(tmp_path))
    broker = WithoutTheFutureOnFriday(5, ticks_per_day=50)
    instruments = [{"code": code, "market": market_of(code)} for code in codes]
    assert list(opening_references(Ticker(broker), instruments, PERIOD[0], market.TAIWAN)) == ["2330"]
    # The future's day is asked for as often as a load tries a day, the stock's once.
    assert sorted(broker.tick_requests) == [("2330", "2024-01-05")] + [("TXFR1", "2024-01-05")] * 3


def test_the_days_of_a_span_are_those_the_feeds_load_walks():
    assert span_days("2024-01-30", "2024-02-02") == [
        "2024-01-30", "2024-01-31", "2024-02-01", "2024-02-02"
    ]
    # A time of day counts as the feed's walk counts it: 24 hours at a time while not later.
    assert span_days("2024-01-01 09:00", "2024-01-03 08:00") == ["2024-01-01", "2024-01-02"]
    assert span_days("2024-01-03", "2024-01-02") == []
    with pytest.raises(ValueError, match="cannot read 'yesterday'"):
        span_days("yesterday", "2024-01-02")


def test_the_progress_expects_every_day_from_the_first_loaded_on(data_dir):
    reported = []  # a callback of two arguments, as runs called it before they told the day
    result = run(data_dir, "replay", None, Strategy(), period=("2024-01-08", "2024-01-19"),
                 progress=lambda done, expected: reported.append((done, expected)))
    total = result.live_ticks
    assert total == 10 * len(CODES) * 400 and reported[-1] == (total, total)
    # From the first day on, the weekend between the weeks included, the total is foreseen
    # within a day's ticks: a bar that does not creep along at its end.
    assert all(abs(expected - total) <= len(CODES) * 400 for _, expected in reported)
    assert [done for done, _ in reported] == sorted(done for done, _ in reported)


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_the_progress_tells_the_trading_day_of_the_latest_tick(data_dir, engine):
    days = []  # enough ticks a day for the road to report within each day
    run(data_dir, engine, None, Strategy(), ticks_per_day=5000, period=("2024-01-08", "2024-01-12"),
        progress=lambda done, expected, day: day and days.append(day))
    assert days == sorted(days) and str(days[-1]) == "2024-01-12" and len(set(days)) >= 4
