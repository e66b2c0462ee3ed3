"""The audit of a data directory's tick cache, day by day: what `quorvel-import check` prints.

For each code and day held: its ticks, the first and the last tick's time, the gaps between
ticks longer than a limit (inside a session: the time between sessions is no gap), the coverage
of each session (the share of its minutes that hold a tick) and the day's first fault by the
checks of `quorvel.data.checks`.  The files are only read: a file that cannot be read is
reported, not set aside.
"""

from __future__ import annotations

import datetime as dt
import os
import re
from dataclasses import dataclass
from typing import List, Optional, Tuple

import polars as pl

from quorvel.cache import day_files
from quorvel.data.checks import NANOSECONDS, day_faults, session_windows
from quorvel.market import MarketRules

__all__ = ["DayAudit", "audit_directory"]

# A day file's name, as the tick feed names it.
DAY_FILE = re.compile(r"^(?P<code>.+) (?P<day>\d{4}-\d{2}-\d{2}) - ticks\.csv$")
MINUTE = 60 * NANOSECONDS


@dataclass(frozen=True)
class DayAudit:
    """One code's day in the cache.  `coverage` holds (session name, share of its minutes with
    a tick); `gaps` the gaps longer than the limit, `longest_gap` the longest in seconds;
    `fault` the day's first fault, or why the file cannot be read; None when it passes."""

    code: str
    day: str
    ticks: int
    first: Optional[dt.datetime]
    last: Optional[dt.datetime]
    gaps: int
    longest_gap: float
    coverage: Tuple[Tuple[str, float], ...]
    fault: Optional[str]


def audit_directory(data_dir: str, rules: MarketRules, gap_seconds: float) -> List[DayAudit]:
    """The audit of every day file in the tick cache under `data_dir`, in code and day order;
    FileNotFoundError when it holds no tick cache."""
    directory = day_files.cache_directory(os.path.expanduser(data_dir))
    names = sorted(
        (found["code"], found["day"], name)
        for name in os.listdir(directory)
        if (found := DAY_FILE.match(name)) is not None
    )
    return [
        _audit(code, day, os.path.join(directory, name), rules, gap_seconds)
        for code, day, name in names
    ]


def _audit(code: str, day: str, path: str, rules: MarketRules, gap_seconds: float) -> DayAudit:
    try:
        ticks = pl.read_csv(path, schema=day_files.TICK_SCHEMA)
        trading_day = dt.date.fromisoformat(day)
    except (OSError, ValueError, pl.exceptions.PolarsError) as error:
        unreadable = f"{code} {day}: unreadable: {error}".splitlines()[0]
        return DayAudit(code, day, 0, None, None, 0, 0.0, (), unreadable)
    faults = day_faults(code, trading_day, ticks, rules)
    try:
        windows = session_windows(rules, code, trading_day) if rules.is_trading_day(day) else []
        names = [session.name for session in rules.sessions(code, trading_day)]
    except ValueError:  # beyond the calendar
        windows, names = [], []
    ts = pl.col("ts")
    coverage = []
    gaps, longest = 0, 0.0
    for name, (opens, closes) in zip(names, windows):
        inside = ticks.filter(ts.is_between(opens, closes))
        minutes = max(1, (closes - opens) // MINUTE)
        held = inside.select(((ts - opens) // MINUTE).n_unique()).item() if inside.height else 0
        coverage.append((name, min(1.0, held / minutes)))
        # The session's open and close bound its first and last gap.
        edges = pl.concat([pl.Series([opens]), inside["ts"].sort(), pl.Series([closes])])
        spans = edges.diff().drop_nulls() / NANOSECONDS
        gaps += int((spans > gap_seconds).sum())
        longest = max(longest, float(spans.max() or 0.0))  # type: ignore[arg-type]
    first, last = (ticks["ts"].min(), ticks["ts"].max()) if ticks.height else (None, None)
    return DayAudit(
        code,
        day,
        ticks.height,
        _moment(first),
        _moment(last),
        gaps,
        longest,
        tuple(coverage),
        str(faults[0]) if faults else None,
    )


def _moment(ts: object) -> Optional[dt.datetime]:
    if not isinstance(ts, int):
        return None
    try:
        return dt.datetime(1970, 1, 1) + dt.timedelta(microseconds=ts // 1000)
    except OverflowError:
        return None
