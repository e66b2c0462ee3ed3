"""A span of days loaded one day at a time, so that a run holds about two days of ticks
however long its period is.

Each day goes through the tick feed's door (`quorvel.modules.ticker.feed.load` with the day as
its whole period): the same cache, checks and merge as a load of the span at once, whose rows
the days' frames give in the same order, one after the other.  While the engine replays one
day, the next one loads in a background thread; polars reads, parses and sorts without the
interpreter lock, so that part of the load runs beside the replay.  A day's checks
(`quorvel.backtest.engine.data_faults`) run in its loading thread too; their faults are settled
when the day is handed out, before its first tick is replayed.  In a process that keeps days
(`quorvel.backtest.engine.kept_days`: a sweep's worker), a day an earlier run loaded from the
same unchanged files is taken instead, with its faults when it was checked the same way.
"""

from __future__ import annotations

import contextlib
import datetime as dt
import threading
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple

import polars as pl

from quorvel.backtest import core
from quorvel.backtest.engine.data_faults import DataWatch
from quorvel.backtest.engine.kept_days import Checks, kept_days
from quorvel.backtest.errors import BacktestError
from quorvel.data.checks import DataFault
from quorvel.utils import format_to_dt


def span_days(first: str, last: str) -> List[str]:
    """The days of the span as the feed's load walks them ("YYYY-MM-DD"): from the date of
    `first`, 24 hours at a time, while not later than `last`."""
    day, end = format_to_dt(first), format_to_dt(last)
    days = []
    while day <= end:
        days.append(day.strftime("%Y-%m-%d"))
        day += dt.timedelta(days=1)
    return days


class DayFrames:
    """The frames of the span's days in order (a day without ticks gives an empty frame), each
    loaded through the feed's door when the one before it is handed out.

    `waited` counts the seconds spent waiting for a day to be loaded.  Each day is checked by
    `watch`, when one is given, before it is handed out.
    """

    def __init__(
        self,
        ticker: Any,
        instruments: List[Dict[str, str]],
        first: str,
        last: str,
        watch: Optional[DataWatch] = None,
    ) -> None:
        self.ticker = ticker
        self.instruments = instruments
        self.watch = watch
        self.days = span_days(first, last)
        self.waited = 0.0
        self._stopped = threading.Event()
        self._loader: Optional[_DayLoad] = None
        self._next_day = 0

    def __iter__(self) -> Iterator[pl.DataFrame]:
        self._start_next()
        while self._loader is not None:
            started = time.perf_counter()
            frame, faults = self._loader.result()
            self.waited += time.perf_counter() - started
            if self.watch is not None:
                self.watch.settle(faults)
            self._start_next()
            yield frame

    def close(self, timeout: float) -> bool:
        """End a load under way before its next instrument and join its thread, `timeout`
        seconds at most; whether it ended."""
        self._stopped.set()
        return self._loader is None or self._loader.join(timeout)

    def _start_next(self) -> None:
        if self._next_day == len(self.days) or self._stopped.is_set():
            self._loader = None
            return
        day = self.days[self._next_day]
        self._next_day += 1
        self._loader = _DayLoad(self, day)


@contextlib.contextmanager
def loaded_day_by_day(
    ticker: Any,
    instruments: List[Dict[str, str]],
    span: Tuple[str, str],
    timeout: float,
    watch: Optional[DataWatch] = None,
) -> Iterator[DayFrames]:
    """The days of `span` (first, last) for the block, each checked by `watch`; when it ends, a
    load still under way is ended and its thread joined, `timeout` seconds at most."""
    frames = DayFrames(ticker, instruments, *span, watch)
    try:
        yield frames
    except BaseException:
        frames.close(timeout)
        raise
    if not frames.close(timeout):
        raise BacktestError(f"loading the ticks did not end within {timeout:g} s")


class _DayLoad:
    """One day's load in its own daemon thread; `result` gives its frame and its faults or
    raises its error."""

    def __init__(self, frames: DayFrames, day: str) -> None:
        self._frames = frames
        self._day = day
        self._frame: Optional[pl.DataFrame] = None
        self._faults: List[DataFault] = []
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._load, name=f"quorvel-load-{day}", daemon=True)
        self._thread.start()

    def result(self) -> Tuple[pl.DataFrame, List[DataFault]]:
        self._thread.join()
        if self._error is not None:
            raise self._error
        assert self._frame is not None
        return self._frame, self._faults

    def join(self, timeout: float) -> bool:
        self._thread.join(timeout)
        return not self._thread.is_alive()

    def _load(self) -> None:
        frames = self._frames
        watch = frames.watch
        checks: Optional[Checks] = (tuple(watch.codes), watch.rules) if watch else None
        kept = kept_days()
        try:
            taken = None if kept is None else kept.take(frames.instruments, self._day, checks)
            faults = None
            if taken is not None:
                self._frame, faults = taken
                # What the feed's load does to the ticker besides: it learns each code's market.
                for entry in frames.instruments:
                    frames.ticker.code_market_map.setdefault(entry["code"], entry["market"])
            else:
                before = None if kept is None else kept.identity(frames.instruments, self._day)
                self._frame = self._loaded()
            if watch is not None and faults is None:
                faults = watch.faults(self._frame, day=self._day)
            self._faults = faults or []
            if kept is not None and taken is None and not frames._stopped.is_set():
                kept.keep(frames.instruments, self._day, before, self._frame, checks, faults)
        except BaseException as error:  # handed to the thread that asks for the day
            self._error = error

    def _loaded(self) -> pl.DataFrame:
        feed = core.feed()

        frames = self._frames
        return feed.load(
            frames.ticker,
            frames.instruments,
            self._day,
            self._day,
            lambda code, date, rows: frames._stopped.is_set(),
        )
