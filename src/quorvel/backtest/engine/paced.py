"""The paced engine: the live-like road through the tick feed's threads.

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. the tick goes down the run's road of a tick (`quorvel.backtest.engine.road`), the same as
   in the replay engine; the strategy's operations on the way are posted through
   `Matcher.add_pending_order_queue`, and the driver waits for the intake thread's reports of
   each (it knows their number before posting), so that every order is in the book before
   the next tick is matched;
4. `Ticker.allow_next_tick` releases the next tick.

The quotes are read from the very frames the feed sends from, which the feed's door hands
over (`ObservedRun.take_loads`); the ticks of a phase come in the order of its frame's rows, so
the road's count moves the quote cursor.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; ``window=1`` gives the strictly paced replay.
The permits ahead are granted as the loads make ticks known, never more than
the run has ticks.

Unlike the replay engine, this engine loads the whole period before its first
tick, as `Ticker.send_ticks` does: its memory grows with the period's length
(about 250 bytes a tick at the peak, 2.5 GiB for 10 million ticks).
"""

from __future__ import annotations

import math
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

import polars as pl

from quorvel.backtest.engine.data_faults import DataWatch
from quorvel.backtest.engine.desks import QueuedDesk, attached
from quorvel.backtest.engine.lifecycle import Watchdog, observed_feed
from quorvel.backtest.engine.road import BACKFILL_OVER_STATUS, END_STATUS, Progress, Run, tick_road
from quorvel.backtest.errors import BacktestError
from quorvel.backtest.results.result import BacktestResult


def run_paced(run: Run) -> None:
    ticker, strategy, result, settings = run.ticker, run.strategy, run.result, run.settings
    with Watchdog(settings.stall_timeout, ticker, run.matcher) as watchdog:
        desk = run.desk(QueuedDesk, watchdog=watchdog)
        loaded = _LoadedDays(ticker, settings.window, watchdog, run.progress)
        with observed_feed(ticker, loaded, settings.stall_timeout) as feed_run:
            progress = run.progress
            road = tick_road(
                run,
                desk,
                None
                if progress is None
                else lambda done: progress(done, loaded.total, run.trading_day(desk)),
            )
            frames = _PhaseFrames(feed_run, result, run.data_watch)
            backfill_from, backfill_to = result.backfill or (None, None)
            with attached(strategy, desk):
                strategy.on_start()
                desk.deliver()
                loading = time.perf_counter()
                ticker.send_ticks(run.instruments, *result.period, backfill_from, backfill_to)
                started = time.perf_counter()
                result.load_seconds = started - loading
                try:
                    _paced_ticks(ticker, road, desk, frames, watchdog)
                    if progress is not None:
                        done = road.live_ticks + road.backfill_ticks
                        progress(done, loaded.total, run.trading_day(desk))
                    strategy.on_end()
                    desk.deliver()
                finally:
                    result.live_ticks, result.backfill_ticks = road.live_ticks, road.backfill_ticks
                    result.replay_seconds = time.perf_counter() - started


class _LoadedDays:
    """Watches the feed's loads day by day (the backfill thread's too): counts
    the ticks known so far for the progress, grants the window's permits as
    ticks become known, so that no more are queued than the run has ticks,
    and beats the watchdog, so that a long load is not taken for a stall."""

    def __init__(
        self, ticker: Any, window: int, watchdog: Watchdog, progress: Optional[Progress]
    ) -> None:
        self.ticker = ticker
        self.watchdog = watchdog
        self.progress = progress
        self.total = 0
        self._permits_left = window - 1  # the constructor granted the first permit
        self._lock = threading.Lock()  # the live load and the backfill thread's add at once

    def __call__(self, code: str, date: str, rows: int) -> None:
        self.watchdog.beat()
        with self._lock:
            self.total += rows
            total = self.total
            permits = min(self._permits_left, rows)
            self._permits_left -= permits
        for _ in range(permits):
            self.ticker.allow_next_tick()
        if self.progress is not None:
            self.progress(0, total, None)


class _PhaseFrames:
    """The frame each phase (backfill, live) sends its ticks from, as the feed's door hands the
    loads over, checked by the run's `DataWatch` before its first tick is replayed: the whole
    phase is loaded by then, so a fault stops the phase before any of its ticks."""

    def __init__(self, feed_run: Any, result: BacktestResult, watch: DataWatch) -> None:
        self.feed_run = feed_run
        self.watch = watch
        self.periods = {True: result.backfill, False: result.period}
        self.loads: Dict[Tuple[str, str], List[pl.DataFrame]] = {}  # taken, not yet replayed

    def of(self, is_backfilling: bool) -> pl.DataFrame:
        period = self.periods[is_backfilling]
        for start_from, end_to, frame in self.feed_run.take_loads():
            self.loads.setdefault((start_from, end_to), []).append(frame)
        loaded = self.loads.get(period) if period is not None else None
        if not loaded or period is None:
            raise BacktestError(f"the tick feed sent ticks of {period} without loading them")
        frame = loaded.pop(0)
        self.watch.check(frame, period)
        return frame


def _paced_ticks(
    ticker: Any, road: Any, desk: QueuedDesk, frames: _PhaseFrames, watchdog: Watchdog
) -> None:
    result = desk.result
    phase: Optional[bool] = None  # whether the phase under way is the backfill
    # The feed announces the backfill's end only if its sending thread first looked while the
    # backfill was under way; one over before that (no ticks, or permits granted ahead) is
    # recorded here, before the first live tick or the run's end, as the replay engine records it.
    backfill_unannounced = bool(result.backfill)
    watchdog.beat()
    while True:
        tick = ticker.pop_tick()
        watchdog.beat()
        if watchdog.expired:
            raise BacktestError(f"no tick came for {watchdog.timeout:g} s; the run was stopped")
        if tick is None:
            raise BacktestError("the tick feed handed over None instead of a tick")
        status = tick.get("darq_status")
        if backfill_unannounced and (status is not None or not tick["is_backfilling"]):
            backfill_unannounced = False
            if status != BACKFILL_OVER_STATUS:
                result.statuses.append(BACKFILL_OVER_STATUS)
        if status is not None:
            result.statuses.append(status)
            road.close_bars()
            if status == END_STATUS:
                break
            continue
        if tick["is_backfilling"] is not phase:
            road.close_bars()
            phase = tick["is_backfilling"]
            frame = frames.of(tick["is_backfilling"])
            desk.quotes.replaying(frame)
            road.follow(frame)
        road.take(tick)
        ticker.allow_next_tick()
    road.settle()
    desk.due(math.inf)
