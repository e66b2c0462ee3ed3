"""Days kept in memory between the runs of one process, so that runs of the same codes over
the same days load each day once: what a sweep's worker does, running many combinations one
after another.

Off until `keep_days` turns it on for the process (a sweep's task does); a lone run keeps
nothing once it returns.  When on, the replay engine's day loading
(`quorvel.backtest.engine.days`) looks here before it loads a day through the tick feed, and
keeps what it loaded: the day's merged frame and, for the codes and market rules it was checked
under, its faults (`quorvel.data.checks`).

A kept day is used only while every cache file it was read from is the very file it was: the
same device and inode, size, modification and change times, and manifest entry, looked at
before each use.  A file rewritten, healed or set aside makes the day load afresh, through the
feed's own checks.  A day with a file missing (the feed would ask the broker for it) is never
kept, nor one whose files changed while it loaded, nor a load cut short.

The days kept are bounded by the size of their frames (`KEPT_DAYS_LIMIT`).  Once full, the
store keeps no more days: the runs of a sweep walk the same days in the same order, and a store
that made room by dropping its oldest days would hold none of a long period's days when the
next run starts over from the first.  A day found changed leaves the store.  The days are the
process's until it ends: a sweep that starts Ray ends its workers with it.
"""

from __future__ import annotations

import os
import threading
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple

import polars as pl

from quorvel.cache import day_files
from quorvel.cache import manifest as cache_manifest
from quorvel.constant import BASIC_INFO
from quorvel.data.checks import DataFault
from quorvel.market import MarketRules

__all__ = ["KEPT_DAYS_LIMIT", "Checks", "KeptDays", "keep_days", "kept_days"]

# The frames a process keeps at most, in bytes (polars' estimate): a quarter of two codes at
# 20,000 ticks a day, or a week of twenty codes.
KEPT_DAYS_LIMIT = 256 * 1024 * 1024

# What a day is: its data directory, its (code, market) pairs in the load's order, its date.
DayKey = Tuple[str, Tuple[Tuple[str, str], ...], str]
# What a day was read from: each code's file status and manifest entry, in the key's order.
Identity = Tuple[Tuple[Tuple[int, ...], Any], ...]
# What a day's faults were found under: the codes checked and the market's rules.
Checks = Tuple[Tuple[str, ...], MarketRules]


@dataclass
class _Day:
    identity: Identity
    frame: pl.DataFrame
    size: int
    checks: Optional[Checks] = None
    faults: Optional[List[DataFault]] = None


class KeptDays:
    """The days one process keeps (see the module's docstring); safe across threads."""

    def __init__(self, limit: int) -> None:
        self.limit = limit  # bytes at most
        self.size = 0  # bytes held
        self.uses = 0  # days handed out instead of loaded
        self._days: Dict[DayKey, _Day] = {}
        self._lock = threading.Lock()

    def take(
        self, instruments: Sequence[Dict[str, str]], day: str, checks: Optional[Checks]
    ) -> Optional[Tuple[pl.DataFrame, Optional[List[DataFault]]]]:
        """The day kept for `instruments` (in the load's order) as a frame of its own, and its
        faults when they were found under `checks`; None unless it is kept and its files are
        unchanged."""
        key = _key(instruments, day)
        with self._lock:
            kept = self._days.get(key)
        if kept is None:
            return None
        if _identity(key) != kept.identity:
            self._drop(key)
            return None
        with self._lock:
            self.uses += 1
        faults = kept.faults if checks is not None and checks == kept.checks else None
        # A frame of its own: the run may change its columns without reaching the kept one.
        return kept.frame.clone(), faults

    def keep(
        self,
        instruments: Sequence[Dict[str, str]],
        day: str,
        before: Optional[Identity],
        frame: pl.DataFrame,
        checks: Optional[Checks],
        faults: Optional[List[DataFault]],
    ) -> None:
        """Keep a day loaded from the files of `before` (`identity` taken before the load),
        unless some are missing or changed since, or it does not fit in the limit."""
        key = _key(instruments, day)
        size = int(frame.estimated_size())
        if before is None or _identity(key) != before:
            return
        self._drop(key)
        with self._lock:
            if self.size + size <= self.limit:
                self._days[key] = _Day(before, frame, size, checks, faults)
                self.size += size

    def _drop(self, key: DayKey) -> None:
        with self._lock:
            dropped = self._days.pop(key, None)
            self.size -= dropped.size if dropped is not None else 0

    def identity(self, instruments: Sequence[Dict[str, str]], day: str) -> Optional[Identity]:
        """What the day of `instruments` would be read from now: each file's status and manifest
        entry; None when a file is missing, as the feed would then ask the broker."""
        return _identity(_key(instruments, day))


def _identity(key: DayKey) -> Optional[Identity]:
    data_dir, codes, day = key
    parts = []
    for code, _ in codes:
        path = day_files.day_file_path(data_dir, code, day)
        try:
            status = os.stat(path)
        except OSError:
            return None
        entries = cache_manifest.recorded_entries(os.path.dirname(path))
        parts.append(
            (
                (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns,
                 status.st_ctime_ns),
                entries.get(os.path.basename(path)),
            )
        )
    return tuple(parts)


def _key(instruments: Sequence[Dict[str, str]], day: str) -> DayKey:
    # The feed reads the day's files under the data directory the run set for it.
    codes = tuple((entry["code"], entry["market"]) for entry in instruments)
    return (str(BASIC_INFO.data_dir), codes, day)


_kept: Optional[KeptDays] = None
_making = threading.Lock()


def keep_days(limit: Optional[int] = None) -> KeptDays:
    """Turn on keeping days in this process, from now on: within `limit` bytes when it is
    given, otherwise within the limit set before (`KEPT_DAYS_LIMIT` at first); the days it
    keeps."""
    global _kept
    with _making:
        if _kept is None:
            _kept = KeptDays(KEPT_DAYS_LIMIT)
        if limit is not None:
            _kept.limit = limit
        return _kept


def kept_days() -> Optional[KeptDays]:
    """The days this process keeps, None while keeping is off."""
    return _kept
