"""What both engines share: the run they work on, the feed's statuses and the timeline's rule."""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional

import polars as pl

from quorvel.backtest.account import Account
from quorvel.backtest.metrics import SECONDS_PER_DAY
from quorvel.backtest.results import BacktestResult
from quorvel.backtest.strategy import Strategy
from quorvel.constant import FLAG

END_STATUS = FLAG.exit_send_tick.value
BACKFILL_OVER_STATUS = FLAG.finish_backfilling.value
NANOSECONDS_PER_DAY = SECONDS_PER_DAY * 1_000_000_000

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
    stopping: threading.Event  # set when the run winds down: loads not yet made are skipped
    account: Account

    @property
    def markets(self) -> Dict[str, str]:
        return {entry["code"]: entry["market"] for entry in self.instruments}


def same_day(timestamp: float, other: float) -> bool:
    return timestamp // SECONDS_PER_DAY == other // SECONDS_PER_DAY


def timeline_rows(frame: Any, every: int) -> List[int]:
    """The rows of a live frame after which the run goes on the timeline: every
    `every`-th tick and the last tick of each day (the paced engine's rule)."""
    day = pl.col("ts") // NANOSECONDS_PER_DAY
    number = pl.int_range(1, pl.len() + 1)
    due = (number % every == 0) | (day != day.shift(-1)).fill_null(True)
    return frame.select(due.arg_true()).to_series().to_list()
