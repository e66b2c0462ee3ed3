"""Taiwan trading days, for dating night sessions and for telling a holiday from a missing day.

The days come from the Taiwan Stock Exchange's calendar in `exchange_calendars` (XTAI); the
futures exchange keeps the same holidays.  Outside the years that calendar covers, every
weekday counts as a trading day.
"""

from __future__ import annotations

import datetime as dt
import functools
import warnings
from typing import Any

__all__ = ["is_trading_day", "next_trading_day"]


@functools.lru_cache(maxsize=None)
def _calendar() -> Any:
    import exchange_calendars  # imported on first use: it takes about half a second

    # Building the calendar trips deprecation warnings of newer pandas inside the package.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return exchange_calendars.get_calendar("XTAI")


def is_trading_day(day: dt.date) -> bool:
    calendar = _calendar()
    if not calendar.first_session.date() <= day <= calendar.last_session.date():
        return day.weekday() < 5
    return bool(calendar.is_session(day.isoformat()))


def next_trading_day(day: dt.date) -> dt.date:
    """The first trading day after `day`."""
    following = day + dt.timedelta(days=1)
    while not is_trading_day(following):
        following += dt.timedelta(days=1)
    return following
