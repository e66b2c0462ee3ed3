"""The replay engine: the period walked on the caller's thread, a day at a time.

It loads the backfill span and the period one day at a time through the tick
feed's door (`quorvel.backtest.engine.days`), so it reads and writes the same
cache files and merges in the same order as the feed, and holds about two
days of ticks (the day replayed and the next one, loading meanwhile) whatever
the period's length.  Each day's frame goes down the run's road of a tick
(`quorvel.backtest.engine.road`), which builds each row's tick dict exactly
as the feed's sending thread does.  The matcher, the account and the strategy
live on from one day to the next, so orders left working at a day's end work
on, exactly as in one walk over the whole period.  The strategy's operations
call `add_order`, `modify_order` and `cancel_order` directly and take their
reports at once with `pop_response`.
"""

from __future__ import annotations

import datetime as dt
import math
import time
from typing import Callable, Optional

from quorvel.backtest import core
from quorvel.backtest.engine.days import loaded_day_by_day, span_days
from quorvel.backtest.engine.desks import DirectDesk, attached
from quorvel.backtest.engine.road import BACKFILL_OVER_STATUS, END_STATUS, Progress, Run, tick_road
from quorvel.market import MarketRules


def run_replay(run: Run) -> None:
    ticker_module = core.ticker()
    ticker, strategy, result, settings = run.ticker, run.strategy, run.result, run.settings
    desk = run.desk(DirectDesk)
    spans = [
        (span, is_backfill)
        for span, is_backfill in ((result.backfill, True), (result.period, False))
        if span
    ]
    days = sum(_trading_days(settings.market, *span) for span, _ in spans)
    counts = _Counts(run.progress, days, lambda: run.trading_day(desk))
    road = tick_road(run, desk, counts.checkpoint)
    started = time.perf_counter()
    try:
        with attached(strategy, desk):
            strategy.on_start()
            desk.deliver()
            for span, is_backfilling in spans:
                with loaded_day_by_day(
                    ticker, run.instruments, span, settings.stall_timeout, run.data_watch
                ) as frames:
                    for frame in frames:
                        counts.day_loaded(frame.height)
                        if frame.height:
                            desk.quotes.replaying(frame)
                            # The formatter the feed's module holds now, as its sending thread reads it.
                            format_timestamp = ticker_module.format_nano_ts_to_second_ts
                            road.replay(
                                frame, ticker.code_market_map, format_timestamp, is_backfilling
                            )
                result.load_seconds += frames.waited
                road.close_bars()
                if is_backfilling:
                    result.statuses.append(BACKFILL_OVER_STATUS)
            road.settle()
            desk.due(math.inf)
            result.statuses.append(END_STATUS)
            counts.checkpoint(road.live_ticks + road.backfill_ticks)
            strategy.on_end()
            desk.deliver()
    finally:
        result.live_ticks, result.backfill_ticks = road.live_ticks, road.backfill_ticks
        result.replay_seconds = time.perf_counter() - started - result.load_seconds


def _trading_days(rules: MarketRules, first: str, last: str) -> int:
    """The trading days of a span by the run's calendar; its days where the calendar does not
    reach."""
    try:
        return len(rules.trading_days(first[:10], last[:10]))
    except ValueError:
        return len(span_days(first, last))


class _Counts:
    """The progress callback, (ticks done, ticks expected, the latest tick's trading day), as
    the road reports the ticks done.
    Until every day is loaded, the ticks expected are those of the days with ticks loaded so
    far, scaled to the `days` of trading the run's spans hold."""

    def __init__(
        self, progress: Optional[Progress], days: int, day: Callable[[], Optional[dt.date]]
    ) -> None:
        self.report = progress or (lambda done, expected, day: None)
        self.day = day
        self.days = days
        self.days_with_ticks = 0
        self.known = 0  # the ticks of the days loaded
        self.expected = 0

    def checkpoint(self, done: int) -> None:
        self.report(done, self.expected, self.day())

    def day_loaded(self, ticks: int) -> None:
        if ticks:
            self.known += ticks
            self.days_with_ticks += 1
            days = max(self.days, self.days_with_ticks)
            self.expected = self.known * days // self.days_with_ticks
