"""Benchmark of reading cached days: `day_files.read_day` beside a plain polars read.

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

from quorvel.cache import day_files
from quorvel.cache.day_files import TICK_SCHEMA
from quorvel.sim import SimulatedBroker

CODES = {"2330": "Stocks", "TXFR1": "Futures"}
DAYS = ("2024-01-08", "2024-01-09", "2024-01-10", "2024-01-11", "2024-01-12")
TICKS_PER_DAY = 20_000
REPEATS = 100  # times each file is read each way


def write_days(data_dir: str) -> List[str]:
    """The week of both codes in the cache under `data_dir`; returns the files' paths."""
    broker = SimulatedBroker(1, ticks_per_day=TICKS_PER_DAY)
    os.makedirs(day_files.cache_directory(data_dir), exist_ok=True)
    paths = []
    for code, group in CODES.items():
        contract = getattr(broker.Contracts, group)[code]
        for day in DAYS:
            answer = broker.ticks(contract=contract, date=day)
            path = day_files.day_file_path(data_dir, code, day)
            df = day_files.frame_from_answer(answer, TICK_SCHEMA, code, day)
            day_files.store_day(df, path)
            paths.append(path)
    return paths


def seconds(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def cache_rows(row_type: Any) -> List[Any]:
    """The benchmark's row: rows per second read and checked, beside polars reading them.

    Each file is timed on its own, both ways in turns, and the best time of each kept: a quiet
    moment of a few milliseconds comes far more often, on a shared machine, than one that
    spans the whole week.
    """
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-cache-") as data_dir:
        paths = write_days(data_dir)
        rows = sum(day_files.read_day(path, TICK_SCHEMA).height for path in paths)
        assert sum(pl.read_csv(path, schema=TICK_SCHEMA).height for path in paths) == rows
        checked = {path: float("inf") for path in paths}
        plain = dict(checked)
        for _ in range(REPEATS):
            for path in paths:
                read_checked = seconds(lambda: day_files.read_day(path, TICK_SCHEMA))
                read_plain = seconds(lambda: pl.read_csv(path, schema=TICK_SCHEMA))
                checked[path] = min(checked[path], read_checked)
                plain[path] = min(plain[path], read_plain)
        megabytes = sum(os.path.getsize(path) for path in paths) / 1e6 / len(paths)
        return [
            row_type(
                f"read and check a cached day ({TICKS_PER_DAY:,} rows, {megabytes:.1f} MB; "
                f"{len(paths)} days)",
                rows / sum(checked.values()),
                rows / sum(plain.values()),
                "rows/s",
                "polars read_csv of the same files",
                higher_is_better=True,
            )
        ]


def _fields(*fields: Any, **flags: Any) -> Any:
    return fields


if __name__ == "__main__":
    for name, figure, baseline, unit, _ in cache_rows(_fields):
        print(f"{name}: {figure:,.0f} {unit}, polars {baseline:,.0f} {unit}: "
              f"{figure / baseline:.2f} of its speed")
