"""Bars, quotes and the clock in whole runs: the bars are polars' dynamic groups of the ticks,
given at the tick that makes them due; the quotes are the frame's bid and ask of each code's
latest tick; both engines give the same."""

import datetime as dt
import math
import re
from dataclasses import replace
from pathlib import Path

import polars as pl
import pytest
from backtest_support import BACKFILL, CODES
from test_engines import run
from test_messages import holds_its_keys

from quorvel import market
from quorvel.backtest import BacktestError, Strategy, StrategyError
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.backtest.engine.bars import session_span
from quorvel.backtest.messages import Bar, Quote
from quorvel.cache import day_files
from quorvel.sim import SimulatedBroker
from quorvel.utils import format_nano_ts_to_second_ts

DAYS = ("2024-01-05", "2024-01-08", "2024-01-09")
SECONDS = 420  # 7 minutes: the night session's open (15:00) is not on a 7-minute grid from midnight
QUOTE_KEYS = ("bid_price", "bid_volume", "ask_price", "ask_volume")

pytestmark = pytest.mark.usefixtures("engines_built")


def broker():
    return SimulatedBroker(5, ticks_per_day=300)


class Recorder(Strategy):
    """Records every tick and bar in the order given, with the quotes and the clock then; buys
    2330 at the market at its first live bar."""

    bar_seconds = SECONDS

    def on_start(self):
        self.events = []
        self.clock_at_start = self.clock
        self.bought = False

    def record(self, kind, what):
        quotes = {code: self.quote(code) for code in CODES}
        self.events.append((kind, what, self.now, self.clock, quotes))

    def warm_up(self, tick):
        self.record("tick", tick)

    def on_tick(self, tick):
        self.record("tick", tick)

    def on_bar(self, bar):
        self.record("bar", bar)
        if bar["code"] == "2330" and not bar["is_backfilling"] and not self.bought:
            self.bought = True
            self.buy("2330", 1)

    def on_report(self, report):
        self.events.append(("report", report.get("operation_type", "Deal"), self.now, None, None))


@pytest.fixture(scope="module")
def recorded(data_dir):
    """The events of a run on each engine, by engine."""
    events = {}
    for engine in ("replay", "paced"):
        strategy = Recorder()
        run(data_dir, strategy, engine)
        assert strategy.clock_at_start is None
        events[engine] = strategy.events
    return events


@pytest.fixture(scope="module")
def replayed_frame(data_dir, recorded):
    """The ticks of the backfill and the period as the feed merges them, from the tick cache."""
    cache = Path(cache_directory(str(data_dir), broker())) / "sino" / "ticks"
    days = [
        day_files.read_day(str(cache / f"{code} {day} - ticks.csv"), day_files.TICK_SCHEMA)
        .with_columns(code=pl.lit(code), is_backfilling=pl.lit(day in BACKFILL))
        for code in CODES
        for day in DAYS
    ]
    return pl.concat(days).sort(["is_backfilling", "ts", "code"], descending=[True, False, False])


def bars_of(events):
    return [event[1] for event in events if event[0] == "bar"]


def test_both_engines_give_the_same_bars_quotes_and_clock_at_the_same_points(recorded):
    assert len(bars_of(recorded["replay"])) > 50
    assert recorded["replay"] == recorded["paced"]


def test_the_bars_are_polars_dynamic_groups_of_the_ticks_from_each_sessions_open(
    recorded, replayed_frame
):
    moments = replayed_frame.with_columns(
        moment=pl.col("ts").map_elements(
            lambda ts: format_nano_ts_to_second_ts(ts, 8), return_dtype=pl.Float64
        )
    )
    origins = [
        session_span(code, moment, market.TAIWAN)[0] for code, moment in moments.select("code", "moment").rows()
    ]
    ticks = moments.with_columns(
        origin=pl.Series(origins),
        since_open=pl.col("ts") - (pl.Series(origins) * 1e9).cast(pl.Int64),
    ).sort("since_open")
    expected = (
        ticks.group_by_dynamic(
            "since_open", every=f"{SECONDS * 10**9}i", group_by=["code", "origin", "is_backfilling"]
        )
        .agg(
            open=pl.col("close").first(),
            high=pl.col("close").max(),
            low=pl.col("close").min(),
            close=pl.col("close").last(),
            volume=pl.col("volume").sum(),
            ticks=pl.len(),
        )
        .select(
            "code",
            start=pl.col("origin") + pl.col("since_open") / 1e9,
            end=pl.col("origin") + pl.col("since_open") / 1e9 + SECONDS,
            open="open",
            high="high",
            low="low",
            close="close",
            volume="volume",
            ticks=pl.col("ticks").cast(pl.Int64),
            is_backfilling="is_backfilling",
        )
        .sort("code", "start")
    )
    given = sorted(bars_of(recorded["replay"]), key=lambda bar: (bar["code"], bar["start"]))
    assert given == expected.to_dicts()
    assert {bar["is_backfilling"] for bar in given} == {True, False}


def test_each_bar_comes_before_the_first_tick_past_its_end_or_its_sessions_close(recorded):
    events = [event for event in recorded["replay"] if event[0] != "report"]
    for index, (kind, bar, now, _, _) in enumerate(events):
        if kind != "bar":
            continue
        due = min(bar["end"], session_span(bar["code"], bar["start"], market.TAIWAN)[1])
        before = [event[1] for event in events[:index] if event[0] == "tick"][-1]
        after = next((event[1] for event in events[index:] if event[0] == "tick"), None)
        assert before["timestamp"] < due
        if after is not None and after["is_backfilling"] == bar["is_backfilling"]:
            # Given at the tick that made it due, once the tick is the current one.
            assert after["timestamp"] >= due and now == after["timestamp"], bar
        else:  # given when its phase ended, no later tick of the phase having come
            assert now == before["timestamp"], bar


def test_the_report_of_an_order_made_in_on_bar_comes_before_the_next_tick(recorded):
    events = recorded["replay"]
    [entered] = [index for index, event in enumerate(events) if event[:2] == ("report", "New")]
    assert events[entered - 1][0] == "bar" and events[entered - 1][1]["code"] == "2330"
    assert events[entered + 1][0] == "tick"


def test_every_bar_and_quote_has_the_keys_and_types_of_its_type(recorded):
    for kind, _, _, _, quotes in recorded["replay"]:
        for quote in (quotes or {}).values():
            assert quote is None or (set(quote) == set(QUOTE_KEYS) and holds_its_keys(quote, Quote))
    for bar in bars_of(recorded["replay"]):
        assert set(bar) == Bar.__required_keys__ and holds_its_keys(bar, Bar), bar


def test_a_quote_is_the_bid_and_ask_of_the_codes_latest_tick(recorded, replayed_frame):
    latest = {code: None for code in CODES}
    rows = replayed_frame.select("code", "ts", *QUOTE_KEYS).rows()
    ticks = [event for event in recorded["replay"] if event[0] == "tick"]
    assert len(ticks) == len(rows)
    for (_, tick, _, _, quotes), (code, ts, *quote) in zip(ticks, rows):
        assert (tick["code"], tick["timestamp"]) == (code, format_nano_ts_to_second_ts(ts, 8))
        latest[code] = dict(zip(QUOTE_KEYS, quote))
        assert quotes == latest
    first = ticks[0][4]
    assert first["TXFR1"] is not None and first["2330"] is None  # the night session comes first


def test_the_clock_is_the_ticks_time_on_the_taipei_wall_clock(recorded):
    for _, tick, now, clock, _ in recorded["replay"][:50]:
        if now is None:
            continue
        assert clock.tzinfo.key == "Asia/Taipei" and clock.utcoffset() == dt.timedelta(hours=8)
        assert clock.replace(tzinfo=None) == dt.datetime(1970, 1, 1) + dt.timedelta(seconds=now)
        assert clock.timestamp() == pytest.approx(now - 8 * 3600)


class Hourly(Recorder):
    bar_seconds = 3600


def test_bars_count_from_the_opens_of_the_runs_market_rules(data_dir):
    """Stocks opening at 08:30 under custom rules: their hourly bars start at half past."""
    early = market.SessionHours("day", dt.time(8, 30), dt.time(13, 30))
    rules = replace(market.TAIWAN, stock=replace(market.TAIWAN.stock, sessions=(early,)))
    events = {}
    for engine in ("replay", "paced"):
        strategy = Hourly()
        run(data_dir, strategy, engine, market_rules=rules)
        events[engine] = strategy.events
    assert events["replay"] == events["paced"]
    minutes = {code: {int(bar["start"] // 60 % 60) for bar in bars_of(events["replay"])
                      if bar["code"] == code} for code in CODES}
    assert minutes == {"2330": {30}, "TXFR1": {0, 45}}


class QuoteOfUnknown(Strategy):
    def on_tick(self, tick):
        self.quote("9999")


class RaisingBar(Strategy):
    bar_seconds = 60

    def on_bar(self, bar):
        raise ZeroDivisionError("no bars today")


@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_a_quote_of_a_code_not_in_the_run_and_an_error_in_on_bar_stop_the_run(data_dir, engine):
    unknown = (
        r"^QuoteOfUnknown.on_tick raised ValueError: unknown code '9999': this run trades 2330, "
        r"TXFR1 \(test_bars_and_quotes.py:\d+\)$"
    )
    with pytest.raises(StrategyError, match=unknown):
        run(data_dir, QuoteOfUnknown(), engine)
    with pytest.raises(StrategyError, match=r"^RaisingBar.on_bar raised ZeroDivisionError: no bars"):
        run(data_dir, RaisingBar(), engine)


class NoBars(Strategy):
    bar_seconds = 60  # but no on_bar


class BarsOff(Strategy):
    def on_bar(self, bar):
        raise AssertionError("bar_seconds is 0")


@pytest.mark.parametrize("strategy", [NoBars(), BarsOff()], ids=lambda s: type(s).__name__)
def test_without_bar_seconds_or_on_bar_no_bars_are_built(data_dir, strategy, monkeypatch):
    from quorvel.modules.replay import replay

    def refuse(*args):
        raise AssertionError("a bar builder was made")

    monkeypatch.setattr(replay, "BarBuilder", refuse)
    for engine in ("replay", "paced"):
        assert run(data_dir, strategy, engine).live_ticks > 0


@pytest.mark.parametrize(
    "seconds, message",
    [
        (-60, "must be 0 (no bars) or a positive, finite number of seconds, not -60"),
        (math.inf, "must be 0 (no bars) or a positive, finite number of seconds, not inf"),
        ("60", "must be a number of seconds, not '60'"),
        (True, "must be a number of seconds, not True"),
    ],
)
def test_a_bad_bar_seconds_is_refused_in_one_line(data_dir, seconds, message):
    strategy = RaisingBar()
    strategy.bar_seconds = seconds
    with pytest.raises(BacktestError) as refused:
        run(data_dir, strategy)
    assert str(refused.value) == f"RaisingBar.bar_seconds {message}"


def test_the_documented_bar_strategy_runs_as_shown(data_dir):
    page = (Path(__file__).parents[3] / "docs" / "bars.md").read_text(encoding="utf-8")
    source = re.search(r"```python\n(.*?)```", page, re.S).group(1)
    namespace = {}
    exec(compile(source, "docs/bars.md", "exec"), namespace)
    result = run(data_dir, namespace["RangeBreak"]())
    assert [report["order"]["code"] for report in result.reports if "order" in report][0] == "TXFR1"
