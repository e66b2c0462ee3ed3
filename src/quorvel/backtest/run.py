"""What both engines share: the run they work on, the feed's statuses and the timeline's rule."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

import polars as pl

from quorvel import market
from quorvel.backtest.account import Account
from quorvel.backtest.metrics import SECONDS_PER_DAY, exchange_day
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import Strategy
from quorvel.constant import FLAG

END_STATUS = FLAG.exit_send_tick.value
BACKFILL_OVER_STATUS = FLAG.finish_backfilling.value
NANOSECONDS_PER_DAY = SECONDS_PER_DAY * 1_000_000_000
# Moves each moment from the evening's opening on into the next calendar day.
ROLLOVER_SHIFT_NS = (SECONDS_PER_DAY - market.TAIWAN.day_rollover_seconds) * 1_000_000_000

Progress = Callable[[int, int], None]  # (ticks done, ticks known so far)


@dataclass
class Run:
    """What an engine works with."""

    ticker: Any
    matcher: Any
    strategy: Strategy
    instruments: List[Dict[str, str]]  # {"code": ..., "market": "Stock" or "Future"}
    result: BacktestResult
    progress: Optional[Progress]
    equity_every: int
    stall_timeout: float
    account: Account

    @property
    def markets(self) -> Dict[str, str]:
        return {entry["code"]: entry["market"] for entry in self.instruments}


def same_day(timestamp: float, other: float) -> bool:
    """Whether two exchange timestamps count for one trading day."""
    return exchange_day(timestamp) == exchange_day(other)


def timeline_rows(frame: Any, every: int, before: int = 0) -> List[int]:
    """The rows of a live frame after which the run goes on the timeline: each `every`-th
    live tick, counting the `before` ticks of the frames walked before it, and each tick
    that the frame follows with a tick of another trading day (the paced engine's rule).
    Whether the frame's last tick ends its trading day is told by the tick after it, which
    the frame does not hold."""
    # A trading day ends where the calendar day changes, counting each moment from the
    # evening's opening on for the next day; those few rows are checked one by one.
    shifted = pl.col("ts") + ROLLOVER_SHIFT_NS
    day = shifted // NANOSECONDS_PER_DAY
    changes = frame.select((day != day.shift(-1)).arg_true()).to_series()
    seconds = frame["ts"] / 1e9
    day_ends = [row for row in changes.to_list() if not same_day(seconds[row], seconds[row + 1])]
    first = (every - 1 - before) % every
    return sorted({*range(first, frame.height, every), *day_ends})
