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
reports, as in the paced engine; a run that holds nothing has none.
"""

from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Optional, Tuple

import polars as pl

from quorvel.backtest.days import loaded_day_by_day
from quorvel.backtest.desks import DirectDesk, attached
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.run import (
    BACKFILL_OVER_STATUS,
    END_STATUS,
    Progress,
    Run,
    same_day,
    timeline_rows,
)
from quorvel.backtest.strategy import Strategy

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
        checkpoint: Callable[[int], None],
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
        self.sample_rows: List[int] = []  # rows of the frame after which to sample, ascending
        self.checkpoint = checkpoint
        # The account's codes whose ticks it must see, before and after matching.
        self.watched = desk.account.watched
        self.before_match = desk.before_match
        self.after_match = desk.after_match


def _overrides(strategy: Strategy, hook: str) -> bool:
    return getattr(type(strategy), hook) is not getattr(Strategy, hook)


def run_replay(run: Run) -> None:
    from quorvel.modules.replay import replay as replay_module
    from quorvel.modules.ticker import ticker as ticker_module

    ticker, strategy, result = run.ticker, run.strategy, run.result
    desk = DirectDesk(run.matcher, run.markets, strategy, result, run.account)
    counts = _Counts(result, run.progress)

    def hooks_of(is_backfilling: bool) -> _ReplayHooks:
        hook = "warm_up" if is_backfilling else "on_tick"
        return _ReplayHooks(
            desk,
            ticker.code_market_map,
            ticker_module.format_nano_ts_to_second_ts,
            is_backfilling,
            getattr(strategy, hook) if _overrides(strategy, hook) else None,
            None if is_backfilling else sample,
            counts.checkpoint,
        )

    def sample() -> None:
        result.sample(desk.current[0]["timestamp"])

    def walk(frame: pl.DataFrame, hooks: _ReplayHooks) -> None:
        counts.start_frame(hooks.is_backfilling)
        replay_module.replay_ticks(frame, hooks)

    def replay_backfill(span: Tuple[str, str]) -> None:
        hooks = hooks_of(True)
        with loaded_day_by_day(ticker, run.instruments, span, run.stall_timeout) as days:
            for frame in days:
                counts.known += frame.height
                walk(frame, hooks)
        result.load_seconds += days.waited

    def replay_period(span: Tuple[str, str]) -> None:
        hooks = hooks_of(False)
        # The last tick of a day's frame ends its trading day unless the next frame goes on
        # with the same trading day: it is sampled once the next frame's first tick is known.
        unsampled_end: Optional[float] = None
        with loaded_day_by_day(ticker, run.instruments, span, run.stall_timeout) as days:
            for frame in days:
                counts.known += frame.height
                if unsampled_end is not None and not same_day(unsampled_end, frame["ts"][0] / 1e9):
                    sample()
                hooks.sample_rows = timeline_rows(frame, run.equity_every, result.live_ticks)
                walk(frame, hooks)
                last_row = frame.height - 1
                sampled = bool(hooks.sample_rows) and hooks.sample_rows[-1] == last_row
                unsampled_end = None if sampled else frame["ts"][last_row] / 1e9
        result.load_seconds += days.waited
        if unsampled_end is not None:
            sample()

    started = time.perf_counter()
    try:
        with attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            if result.backfill:
                replay_backfill(result.backfill)
                result.statuses.append(BACKFILL_OVER_STATUS)
            replay_period(result.period)
            result.statuses.append(END_STATUS)
            strategy.on_end()
            desk.deliver()
    finally:
        result.replay_seconds = time.perf_counter() - started - result.load_seconds


class _Counts:
    """The run's tick counts, kept as the native loop reports them frame by frame, and the
    progress callback: (ticks done, ticks loaded so far)."""

    def __init__(self, result: BacktestResult, progress: Optional[Progress]) -> None:
        self.result = result
        self.report = progress or (lambda done, known: None)
        self.known = 0
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
        self.report(result.backfill_ticks + result.live_ticks, self.known)
