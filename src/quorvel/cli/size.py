"""How large a run is, told before anything is loaded."""

from __future__ import annotations

import os
from typing import Any, Optional, Sequence, Tuple

from quorvel import market
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
        paths = [
            day_files.day_file_path(data_dir, code, day)
            for code in codes
            for first, last in spans
            for day in (each.isoformat() for each in market.trading_days(first, last))
        ]
        return sum(os.path.getsize(path) for path in paths if os.path.exists(path)) // (
            CACHED_BYTES_PER_ROW
        )
    return None


def trading_days(spans: Sequence[Span]) -> int:
    return sum(len(market.trading_days(first, last)) for first, last in spans)


def large_run_notice(ticks: int, days: int, engine: str) -> Optional[str]:
    """One line on a run of `ticks` over `days` trading days, or None for a run of ordinary
    size."""
    if ticks <= LARGE_RUN_TICKS:
        return None
    size = f"a long run: about {ticks:,} ticks over {days} trading days"
    if engine == "replay":
        return f"{size}, replayed a day at a time"
    gib = ticks * PACED_BYTES_PER_TICK / 2**30
    return (
        f"{size}; the paced engine loads them all before the first tick, about {gib:.1f} GiB "
        "of memory (the replay engine holds two days at a time)"
    )
