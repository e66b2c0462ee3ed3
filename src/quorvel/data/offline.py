"""Backtests on the tick cache alone: a broker stand-in that never fetches, and a check that
the cache holds every day a run will read.

The tick feed reads a day from the cache when its file is there and asks the broker API
otherwise.  `CacheOnlyBroker` takes the broker's place: its contract registry knows every code
(a code that starts with a digit is a stock, any other a future), and its `ticks` answers a day
on which the exchange did not trade, or a day after an explicit futures month's last trading
day, with no ticks, as the broker does, and refuses a trading day with `MissingCachedDay`.
`check_cached` finds such a day before a run starts.
"""

from __future__ import annotations

import datetime as dt
import os
from dataclasses import dataclass
from typing import Dict, Iterator, List, Optional, Sequence, Tuple

from quorvel.cache import day_files
from quorvel.data.tick_files import market_of
from quorvel.market import TAIWAN

__all__ = ["CacheOnlyBroker", "CachedContract", "MissingCachedDay", "check_cached", "missing_days"]

SECURITY_TYPES = {"Stock": "STK", "Future": "FUT"}


class MissingCachedDay(LookupError):
    """A trading day of a code that the tick cache does not hold."""

    def __init__(self, code: str, day: str, more: int = 0) -> None:
        others = f" (days missing: {more + 1})" if more else ""
        super().__init__(
            f"{code} {day} is not in the tick cache{others}; an offline run reads the cache "
            "only: import the day with quorvel-import, or run without --offline"
        )
        self.code = code
        self.day = day


@dataclass(frozen=True)
class CachedContract:
    """A contract of the stand-in's registry."""

    code: str
    security_type: str


class _Registry:
    """The codes of one market: every code of that market is known."""

    def __init__(self, market: str) -> None:
        self._market = market

    def __getitem__(self, code: str) -> Optional[CachedContract]:
        if market_of(code) != self._market:
            return None
        return CachedContract(code, SECURITY_TYPES[self._market])


class _Contracts:
    def __init__(self) -> None:
        self.Stocks = _Registry("Stock")
        self.Futures = _Registry("Future")


class CacheOnlyBroker:
    """Stands in for the broker API object in a run that reads the tick cache only."""

    def __init__(self) -> None:
        self.Contracts = _Contracts()

    def ticks(self, contract: CachedContract, date: str) -> Dict[str, List[object]]:
        if _traded(contract.code, dt.date.fromisoformat(date)):
            raise MissingCachedDay(contract.code, date)
        return {name: [] for name in day_files.TICK_SCHEMA}


def missing_days(
    codes: Sequence[str], spans: Sequence[Tuple[str, str]], data_dir: str
) -> List[Tuple[str, str]]:
    """The (code, day) pairs of trading days in `spans` (first and last "YYYY-MM-DD", both
    included) that have no file in the tick cache under `data_dir`."""
    return [
        (code, day.isoformat())
        for code in codes
        for first, last in spans
        for day in _days(dt.date.fromisoformat(first), dt.date.fromisoformat(last))
        if not os.path.exists(day_files.day_file_path(data_dir, code, day.isoformat()))
        and _traded(code, day)
    ]


def check_cached(codes: Sequence[str], spans: Sequence[Tuple[str, str]], data_dir: str) -> None:
    """Raises `MissingCachedDay` for the first missing day, counting the others."""
    missing = missing_days(codes, spans, data_dir)
    if missing:
        code, day = missing[0]
        raise MissingCachedDay(code, day, len(missing) - 1)


def _traded(code: str, day: dt.date) -> bool:
    """Whether `code` trades on `day`: a trading day, not after its futures month ended."""
    return TAIWAN.is_trading_day(day) and not TAIWAN.has_expired(code, day)


def _days(first: dt.date, last: dt.date) -> Iterator[dt.date]:
    day = first
    while day <= last:
        yield day
        day += dt.timedelta(days=1)
