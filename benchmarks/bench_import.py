"""Benchmark of `quorvel-import taifex` on a day's file of the futures exchange's size (~40 MB).

The file is made here, at benchmark time, in the exchange's format (cp950, CRLF, padded
values), with a day's mix of products, months, spreads, weekly contracts, a night session and
a day session; nothing is downloaded.  Run alone with ``python benchmarks/bench_import.py``.
"""

from __future__ import annotations

import os
import tempfile
import time
from typing import Any, Callable, List

import numpy as np
import polars as pl

from quorvel.data import import_taifex
from quorvel.data.taifex import HEADER

ROWS = 850_000  # about 40 MB, as a busy day's file
PRODUCTS = ("TX", "MTX", "TMF", "TE", "TF", "CDF")
PRODUCT_SHARES = (0.35, 0.40, 0.10, 0.05, 0.05, 0.05)
MONTHS = ("202408", "202409", "202410", "202412", "202408W4", "202408/202409")
MONTH_SHARES = (0.80, 0.10, 0.03, 0.02, 0.03, 0.02)


def make_daily_file(path: str, rows: int = ROWS, seed: int = 0) -> int:
    """Write a daily tick file of trading day 2024-08-20 to `path`; returns its size in bytes."""
    rng = np.random.default_rng(seed)
    # Seconds from midnight on the 19th: the night session from 15:00 on the 19th to 05:00 on
    # the 20th, then the day session of the 20th.
    night = rows // 4
    day = 86400
    seconds = np.sort(
        np.concatenate(
            [
                rng.integers(15 * 3600, 29 * 3600, night),
                day + rng.integers(8 * 3600 + 2700, 13 * 3600 + 2700, rows - night),
            ]
        )
    )
    frame = pl.DataFrame(
        {
            "seconds": seconds,
            "product": rng.choice(PRODUCTS, rows, p=PRODUCT_SHARES),
            "month": rng.choice(MONTHS, rows, p=MONTH_SHARES),
            "price": 22000 + rng.integers(-300, 300, rows),
            "both_sides": 2 * rng.integers(1, 20, rows),
        }
    )
    clock = pl.col("seconds") % day
    lines = frame.select(
        pl.when(pl.col("seconds") < day)
        .then(pl.lit("20240819"))
        .otherwise(pl.lit("20240820"))
        .alias("date"),
        pl.col("product").str.pad_end(7),
        pl.col("month").str.pad_end(11),
        pl.format(
            "{}{}{}",
            (clock // 3600).cast(pl.String).str.zfill(2),
            (clock // 60 % 60).cast(pl.String).str.zfill(2),
            (clock % 60).cast(pl.String).str.zfill(2),
        ).alias("time"),
        "price",
        "both_sides",
        pl.lit("-").alias("near"),
        pl.lit("-").alias("far"),
        pl.lit("").alias("auction"),
    )
    body = lines.write_csv(include_header=False, quote_style="never", line_terminator="\r\n")
    with open(path, "wb") as file:
        file.write((",".join(HEADER) + "\r\n").encode("cp950"))
        file.write(body.encode("ascii"))
    return os.path.getsize(path)


def _best(repeats: int, run: Callable[[], float]) -> float:
    return min(run() for _ in range(repeats))


def import_rows(row_type: Any) -> List[Any]:
    """The benchmark's row: MB/s of the import, beside polars reading the same CSV as text."""
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-import-") as folder:
        path = os.path.join(folder, "Daily_2024_08_20.csv")
        size = make_daily_file(path)

        def run_import() -> float:
            start = time.perf_counter()
            import_taifex([path], os.path.join(folder, "data"))
            return time.perf_counter() - start

        def run_polars() -> float:
            start = time.perf_counter()
            with open(path, "rb") as file:
                pl.read_csv(file.read(), infer_schema=False, truncate_ragged_lines=True)
            return time.perf_counter() - start

        seconds = _best(3, run_import)
        megabytes = size / 1e6
        return [
            row_type(
                f"quorvel-import taifex, one day's file ({megabytes:.0f} MB, {ROWS:,} rows; "
                f"{seconds:.2f} s)",
                megabytes / seconds,
                megabytes / _best(3, run_polars),
                "MB/s",
                "polars read_csv of the same file as text",
                higher_is_better=True,
            )
        ]


if __name__ == "__main__":
    from dataclasses import dataclass

    @dataclass
    class _Row:
        name: str
        figure: float
        baseline: float
        unit: str
        baseline_name: str
        higher_is_better: bool

    for row in import_rows(_Row):
        print(
            f"{row.name}: {row.figure:.1f} {row.unit} "
            f"(baseline, {row.baseline_name}: {row.baseline:.1f} {row.unit})"
        )
