"""What both engines share: the run they work on, the feed's statuses and the timeline's rules."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Set

import polars as pl

from quorvel import market
from quorvel.backtest.account.account import Account
from quorvel.backtest.account.ledger import SECONDS_PER_DAY
from quorvel.backtest.engine.market_rules import TradingRules
from quorvel.backtest.results.evaluation import exchange_day
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.strategy.base import Strategy
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
    rules: TradingRules

    @property
    def markets(self) -> Dict[str, str]:
        return {entry["code"]: entry["market"] for entry in self.instruments}


def same_day(timestamp: float, other: float) -> bool:
    """Whether two exchange timestamps count for one trading day."""
    return exchange_day(timestamp) == exchange_day(other)


def day_end_rows(frame: Any) -> Set[int]:
    """The rows of a frame followed in it by a tick of another trading day: the last ticks of
    its trading days but the frame's own last, which only the tick after it can tell."""
    ts = frame["ts"]
    if frame.height == 0 or same_day(ts[0] / 1e9, ts[-1] / 1e9):
        return set()  # the times ascend: a frame that ends on the day it starts holds one day
    # A trading day ends where the calendar day changes, counting each moment from the
    # evening's opening on for the next day; those few rows are checked one by one.
    shifted = pl.col("ts") + ROLLOVER_SHIFT_NS
    day = shifted // NANOSECONDS_PER_DAY
    changes = frame.select((day != day.shift(-1)).arg_true()).to_series()
    seconds = ts / 1e9
    return {row for row in changes.to_list() if not same_day(seconds[row], seconds[row + 1])}


def counted_rows(height: int, every: int, before: int) -> range:
    """The rows of a frame of `height` live ticks that are each `every`-th live tick of the run,
    `before` live ticks having come before the frame."""
    return range((every - 1 - before) % every, height, every)
