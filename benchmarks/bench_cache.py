"""Benchmark of reading cached days: `cache_files.read_day` beside a plain polars read.

`read_day` reads a day file's bytes once, checks the header, parses them with the cache's schema,
checks the values and compares the row count and the SHA-256 of the bytes with the manifest's
entry; the baseline is ``pl.read_csv(path, schema=...)`` of the same files, nothing checked.
The days are the offline broker's (2 codes, 5 days, 20,000 ticks a day), written through the
cache's own `store_day`.  Run alone with ``python benchmarks/bench_cache.py``.
"""

from __future__ import annotations

import os
import tempfile
import time
from typing import Any, Callable, List

import polars as pl

from quorvel import cache_files
from quorvel.cache_files import TICK_SCHEMA
from quorvel.sim import SimulatedBroker

CODES = {"2330": "Stocks", "TXFR1": "Futures"}
DAYS = ("2024-01-08", "2024-01-09", "2024-01-10", "2024-01-11", "2024-01-12")
TICKS_PER_DAY = 20_000
REPEATS = 15  # in turns, best of each: the figure least disturbed by the machine


def write_days(data_dir: str) -> List[str]:
    """The week of both codes in the cache under `data_dir`; returns the files' paths."""
    broker = SimulatedBroker(1, ticks_per_day=TICKS_PER_DAY)
    os.makedirs(cache_files.cache_directory(data_dir), exist_ok=True)
    paths = []
    for code, group in CODES.items():
        contract = getattr(broker.Contracts, group)[code]
        for day in DAYS:
            answer = broker.ticks(contract=contract, date=day)
            path = cache_files.day_file_path(data_dir, code, day)
            cache_files.store_day(cache_files.frame_from_answer(answer, TICK_SCHEMA, code, day), path)
            paths.append(path)
    return paths


def timed(run: Callable[[], int]) -> Callable[[], float]:
    def seconds() -> float:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start

    return seconds


def cache_rows(row_type: Any) -> List[Any]:
    """The benchmark's row: rows per second read and checked, beside polars reading them."""
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-cache-") as data_dir:
        paths = write_days(data_dir)

        def read_checked() -> int:
            return sum(cache_files.read_day(path, TICK_SCHEMA).height for path in paths)

        def read_plain() -> int:
            return sum(pl.read_csv(path, schema=TICK_SCHEMA).height for path in paths)

        rows = read_checked()
        assert read_plain() == rows
        checked = plain = float("inf")
        for _ in range(REPEATS):
            checked = min(checked, timed(read_checked)())
            plain = min(plain, timed(read_plain)())
        megabytes = sum(os.path.getsize(path) for path in paths) / 1e6 / len(paths)
        return [
            row_type(
                f"read and check a cached day ({TICKS_PER_DAY:,} rows, {megabytes:.1f} MB; "
                f"{len(paths)} days)",
                rows / checked,
                rows / plain,
                "rows/s",
                "polars read_csv of the same files",
                higher_is_better=True,
            )
        ]


if __name__ == "__main__":
    for row in cache_rows(lambda *args, **kwargs: (args, kwargs)):
        (name, figure, baseline, unit, _), _ = row
        print(f"{name}: {figure:,.0f} {unit}, polars {baseline:,.0f} {unit}, {figure / baseline:.2f} of it")
