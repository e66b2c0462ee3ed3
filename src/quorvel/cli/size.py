"""How large a run is, told before anything is loaded."""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Tuple

from quorvel import market
from quorvel.backtest.engine.backtest import cache_directory
from quorvel.cache import day_files
from quorvel.data.offline import CacheOnlyBroker
from quorvel.sim import SimulatedBroker

# A run of more ticks than this is told of before it loads: it takes a while, and the paced
# engine holds all of them at once.
LARGE_RUN_TICKS = 5_000_000
# About what a tick costs the paced engine at its peak, when the whole period has been loaded,
# merged and sorted before the first tick.
PACED_BYTES_PER_TICK = 250
# About what a row of a tick cache file takes on disk.
CACHED_BYTES_PER_ROW = 50
# About how fast a run with the built-in strategy goes on two shared cores: its ticks read from
# the tick cache (a year of 2 codes at 20,000 ticks a day, 10 million ticks, in 20 to 35 s), and
# made by the offline broker and cached as they are first asked for (the same year in 152 s).
CACHED_TICKS_PER_SECOND = 300_000
MADE_TICKS_PER_SECOND = 65_000

Span = Tuple[str, str]


def estimated_ticks(
    api: Any, codes: Sequence[str], spans: Sequence[Span], data_dir: str
) -> Optional[int]:
    """About how many ticks a run over `spans` replays: the offline broker's ticks a day on
    every trading day, or what the cached files of a run that reads the cache only hold.
    None when the broker's ticks cannot be counted beforehand."""
    if isinstance(api, SimulatedBroker):
        return trading_days(spans) * len(codes) * api.ticks_per_day
    if isinstance(api, CacheOnlyBroker):
        return _cached_ticks(codes, spans, data_dir)
    return None


def estimated_seconds(
    api: Any, ticks: int, codes: Sequence[str], spans: Sequence[Span], data_dir: str
) -> Optional[float]:
    """About how long a run of `ticks` takes: those already in the tick cache replay faster than
    those the offline broker has yet to make.  None for a broker whose pace is not known."""
    if isinstance(api, CacheOnlyBroker):
        return ticks / CACHED_TICKS_PER_SECOND
    if isinstance(api, SimulatedBroker):
        cached = min(ticks, _cached_ticks(codes, spans, cache_directory(data_dir, api)))
        return cached / CACHED_TICKS_PER_SECOND + (ticks - cached) / MADE_TICKS_PER_SECOND
    return None


def _cached_ticks(codes: Sequence[str], spans: Sequence[Span], data_dir: str) -> int:
    """About how many ticks the cached files of `codes` over `spans` hold."""
    paths = [
        day_files.day_file_path(data_dir, code, day)
        for code in codes
        for first, last in spans
        for day in (each.isoformat() for each in market.trading_days(first, last))
    ]
    return sum(os.path.getsize(path) for path in paths if os.path.exists(path)) // (
        CACHED_BYTES_PER_ROW
    )


def trading_days(spans: Sequence[Span]) -> int:
    return sum(len(market.trading_days(first, last)) for first, last in spans)


def large_run_notice(ticks: int, days: int, engine: str, seconds: Optional[float]) -> Optional[str]:
    """One line on a run of `ticks` over `days` trading days that takes about `seconds` (None
    where that is not known), or None for a run of ordinary size."""
    if ticks <= LARGE_RUN_TICKS:
        return None
    size = f"a long run: about {ticks:,} ticks over {days} trading days"
    if seconds is not None:
        size += f" (roughly {duration(seconds)})"
    if engine == "replay":
        return f"{size}, replayed a day at a time"
    gib = ticks * PACED_BYTES_PER_TICK / 2**30
    return (
        f"{size}; the paced engine loads them all before the first tick, about {gib:.1f} GiB "
        "of memory (the replay engine holds two days at a time)"
    )


def duration(seconds: float) -> str:
    """A time to the second under a minute, to the minute under an hour, then in hours and
    minutes: an estimate is not worth more."""
    if seconds < 60:
        return f"{max(1, round(seconds))} s"
    minutes = round(seconds / 60)
    return f"{minutes} min" if minutes < 60 else f"{minutes // 60} h {minutes % 60} min"
