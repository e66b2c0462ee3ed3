"""The replay engine: the period walked by a native loop on the caller's thread, a day at a
time.

It loads the backfill span and the period one day at a time through the tick
feed's door (`quorvel.backtest.days`), so it reads and writes the same cache
files and merges in the same order as the feed, and holds about two days of
ticks (the day replayed and the next one, loading meanwhile) whatever the
period's length.  The native loop of `quorvel.modules.replay.replay` walks
each day's rows (converted a slice at a time, as the feed's sending thread
reads them), builds each tick dict exactly as that thread does, calls
`Matcher.set_current_tick` and `Matcher.match_deal`, takes the reports those
queue, and calls the strategy.  The matcher, the account and the strategy
live on from one day to the next, so orders left working at a day's end work
on, exactly as in one walk over the whole period.  The strategy's operations
call `add_order`, `modify_order` and `cancel_order` directly and take their
reports at once with `pop_response`.  A tick of a code in the account's
`watched` set also goes to the desk before it is matched and after its
reports, as in the paced engine; a run that holds nothing has none.  The loop
writes each tick's row to the desk's quote cursor, and builds the strategy's
bars natively when it asks for them (`quorvel.backtest.bars`).

Under market rules each day is walked in slices cut at the sessions' closes
(zero-copy slices; the cuts found by a search of the sorted "ts" column), and
what is due at a close (`TradingRules.pass_closes`) is done between two
slices, before the first tick after it, as the paced engine does it.
"""

from __future__ import annotations

import bisect
import math
import time
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

import polars as pl

from quorvel import market
from quorvel.backtest import core
from quorvel.backtest.engine.bars import bar_seconds, session_spans
from quorvel.backtest.engine.days import loaded_day_by_day, span_days
from quorvel.backtest.engine.desks import DirectDesk, attached
from quorvel.backtest.engine.road import (
    BACKFILL_OVER_STATUS,
    END_STATUS,
    Progress,
    Run,
    counted_rows,
    day_end_rows,
    same_day,
)
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import Strategy

# The decimals of a tick's "timestamp", as the feed rounds its "ts".
TIMESTAMP_DIGITS = 8


class _ReplayHooks:
    """What the native loop calls and reads for one phase (backfill or live) of a run."""

    def __init__(
        self,
        desk: DirectDesk,
        market_map: Dict[str, str],
        format_timestamp: Callable[[int, int], float],
        is_backfilling: bool,
        react: Optional[Callable[[Dict[str, Any]], None]],
        sample: Optional[Callable[[], None]],
        count: Callable[[int], None],
        bars: Any = None,
    ) -> None:
        self.market_map = market_map
        self.format_timestamp = format_timestamp
        self.is_backfilling = is_backfilling
        self.set_current_tick = desk.matcher.set_current_tick
        self.match_deal = desk.matcher.match_deal
        self.responses = desk.responses.queue
        self.take_reports = desk.take_reports
        self.react = react
        self.owed = desk.owed
        self.deliver = desk.deliver
        self.current = desk.current
        self.sample = sample
        self.sample_rows: List[int] = []  # rows of the slice after which to sample, ascending
        self.first_row = 0  # the slice's first row in the day's frame
        self.count = count  # count(ticks of the day's frame done)
        # The account's codes whose ticks it must see, before and after matching.
        self.watched = desk.account.watched
        self.before_match = desk.before_match
        self.after_match = desk.after_match
        self.cursor = desk.quotes.cursor
        self.bars = bars  # the run's bar builder, or None: no bars
        self.on_bar = desk.strategy.on_bar
        self.session_span = session_spans(desk.rules.rules)

    def checkpoint(self, done: int) -> None:
        """The native loop's count of the slice's ticks done."""
        self.count(self.first_row + done)


def _overrides(strategy: Strategy, hook: str) -> bool:
    return getattr(type(strategy), hook) is not getattr(Strategy, hook)


def run_replay(run: Run) -> None:
    replay_module = core.replay()
    ticker_module = core.ticker()

    ticker, strategy, result = run.ticker, run.strategy, run.result
    seconds = bar_seconds(strategy)
    bars = replay_module.bar_builder(seconds) if seconds else None
    desk = DirectDesk(run.matcher, run.markets, strategy, result, run.account, run.rules)
    spans = [span for span in (result.backfill, result.period) if span]
    counts = _Counts(result, run.progress, sum(_trading_days(*span) for span in spans))
    sampler = _Sampler(result, desk.current, run.equity_every)

    def hooks_of(is_backfilling: bool) -> _ReplayHooks:
        hook = "warm_up" if is_backfilling else "on_tick"
        return _ReplayHooks(
            desk,
            ticker.code_market_map,
            ticker_module.format_nano_ts_to_second_ts,
            is_backfilling,
            getattr(strategy, hook) if _overrides(strategy, hook) else None,
            None if is_backfilling else sampler,
            counts.checkpoint,
            bars,
        )

    def timestamp(ts: int) -> float:
        return ticker_module.format_nano_ts_to_second_ts(ts, TIMESTAMP_DIGITS)

    def walk(frame: pl.DataFrame, hooks: _ReplayHooks, sample_rows: List[int]) -> None:
        """One day's frame, in slices cut at the sessions' closes."""
        counts.start_frame(hooks.is_backfilling)
        cuts = [0, *run.rules.cut_rows(frame["ts"], timestamp), frame.height]
        for start, end in zip(cuts, cuts[1:]):
            if start == end:
                continue
            run.rules.pass_closes(timestamp(frame["ts"][start]), desk)
            hooks.first_row = start
            hooks.sample_rows = [
                row - start
                for row in sample_rows[
                    bisect.bisect_left(sample_rows, start) : bisect.bisect_left(sample_rows, end)
                ]
            ]
            piece = frame.slice(start, end - start)
            desk.quotes.replaying(piece)
            replay_module.replay_ticks(piece, hooks)

    def replay_span(span: Tuple[str, str], is_backfilling: bool) -> None:
        hooks = hooks_of(is_backfilling)
        with loaded_day_by_day(ticker, run.instruments, span, run.stall_timeout) as days:
            for frame in days:
                counts.day_loaded(frame.height)
                if not frame.height:
                    continue
                sample_rows = [] if is_backfilling else sampler.start(frame, result.live_ticks)
                walk(frame, hooks, sample_rows)
        result.load_seconds += days.waited
        if not is_backfilling:
            sampler.settle(None)
        replay_module.close_bars(hooks)

    started = time.perf_counter()
    try:
        with attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            if result.backfill:
                replay_span(result.backfill, is_backfilling=True)
                result.statuses.append(BACKFILL_OVER_STATUS)
            replay_span(result.period, is_backfilling=False)
            run.rules.pass_closes(math.inf, desk)
            result.statuses.append(END_STATUS)
            strategy.on_end()
            desk.deliver()
    finally:
        result.replay_seconds = time.perf_counter() - started - result.load_seconds


class _Sampler:
    """Offers the live ticks of each frame to the timeline, as the paced engine does: each
    `every`-th live tick of the run, and each trading day's last tick.  The native loop calls
    it at the rows `start` gives, in order; the frame's last tick is offered once the next
    frame's first tick (or the run's end, `settle(None)`) tells whether it ends its day."""

    def __init__(self, result: BacktestResult, current: List[Any], every: int) -> None:
        self.result = result
        self.current = current  # [the tick being replayed]
        self.every = every
        self._rows: List[int] = []
        self._day_ends: Set[int] = set()
        self._next = 0
        self._last: Optional[Tuple[float, bool]] = None  # the frame's last tick: seconds, counted

    def start(self, frame: pl.DataFrame, before: int) -> List[int]:
        """The rows to be called at for `frame`, `before` live ticks having come before it."""
        self.settle(frame["ts"][0] / 1e9)
        last = frame.height - 1
        counted = counted_rows(frame.height, self.every, before)
        self._day_ends = day_end_rows(frame)
        self._rows = sorted(self._day_ends.union(counted).difference((last,)))
        self._next = 0
        self._last = (frame["ts"][last] / 1e9, last in counted)
        return self._rows

    def __call__(self) -> None:
        row = self._rows[self._next]
        self._next += 1
        self.result.sample(self.current[0]["timestamp"], day_end=row in self._day_ends)

    def settle(self, following: Optional[float]) -> None:
        """Offer the last tick of the frame before, `following` being the seconds of the tick
        after it (None at the end of the run)."""
        if self._last is None:
            return
        seconds, counted = self._last
        self._last = None
        day_end = following is None or not same_day(seconds, following)
        if day_end or counted:
            self.result.sample(self.current[0]["timestamp"], day_end=day_end)


def _trading_days(first: str, last: str) -> int:
    """The trading days of a span by the exchange's calendar; its days where the calendar
    does not reach."""
    try:
        return len(market.trading_days(first[:10], last[:10]))
    except ValueError:
        return len(span_days(first, last))


class _Counts:
    """The run's tick counts, kept as the native loop reports them frame by frame, and the
    progress callback: (ticks done, ticks expected).  Until every day is loaded, the ticks
    expected are those of the days with ticks loaded so far, scaled to the `days` of trading
    the run's spans hold."""

    def __init__(self, result: BacktestResult, progress: Optional[Progress], days: int) -> None:
        self.result = result
        self.report = progress or (lambda done, expected: None)
        self.days = days
        self.days_with_ticks = 0
        self.known = 0  # the ticks of the days loaded
        self.expected = 0
        self._is_backfilling = False
        self._before = 0  # the phase's ticks replayed before the frame

    def start_frame(self, is_backfilling: bool) -> None:
        self._is_backfilling = is_backfilling
        result = self.result
        self._before = result.backfill_ticks if is_backfilling else result.live_ticks

    def checkpoint(self, number: int) -> None:
        result = self.result
        if self._is_backfilling:
            result.backfill_ticks = self._before + number
        else:
            result.live_ticks = self._before + number
        self.report(result.backfill_ticks + result.live_ticks, self.expected)

    def day_loaded(self, ticks: int) -> None:
        if ticks:
            self.known += ticks
            self.days_with_ticks += 1
            days = max(self.days, self.days_with_ticks)
            self.expected = self.known * days // self.days_with_ticks
