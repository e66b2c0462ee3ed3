"""Imported days into the tick cache, exactly as the tick feed stores the days it fetches.

A day is one code's ticks of one trading day, in the broker's time convention: "ts" is the
exchange's local time (Asia/Taipei) written as if it were UTC, in nanoseconds.  Columns a
source does not have get neutral values: bid and ask price 0.0 (the cache's own mark of an
empty side of the book), their volumes 0, and tick type 0 (the broker's "cannot tell" for
whether a trade hit the bid or the ask).  The matcher fills orders from the price and volume
alone, so these values change no fill.

Every input file is read before anything is written: days go to a staging folder first, so
that a bad file or a day found in two files stops the import with nothing in the cache changed.
"""

from __future__ import annotations

import datetime as dt
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, List, Tuple

import polars as pl

from quorvel.cache import day_files
from quorvel.cache.day_files import TICK_SCHEMA
from quorvel.data.checks import day_faults
from quorvel.market import TAIWAN

__all__ = [
    "NEUTRAL_VALUES",
    "PARQUET_SUFFIXES",
    "DataImportError",
    "ImportedDay",
    "Staging",
    "cache_frame",
    "check_rows",
    "read_user_file",
]

# The names a parquet file ends in; any other file is read as CSV.
PARQUET_SUFFIXES = (".parquet", ".pq")

NEUTRAL_VALUES: Dict[str, object] = {
    "bid_price": 0.0,
    "bid_volume": 0,
    "ask_price": 0.0,
    "ask_volume": 0,
    "tick_type": 0,
}


class DataImportError(Exception):
    """A file that cannot be imported; the message says which and why, on one line."""


def read_user_file(path: str, **csv_options: Any) -> pl.DataFrame:
    """A user's parquet file, or CSV file read with `csv_options`; one `DataImportError` line
    when it cannot be read."""
    try:
        if path.lower().endswith(PARQUET_SUFFIXES):
            return pl.read_parquet(path)
        return pl.read_csv(path, **csv_options)
    except (OSError, pl.exceptions.PolarsError) as error:
        raise DataImportError(f"{path}: cannot read: {str(error).splitlines()[0]}") from None


def check_rows(
    path: str, code: str, day: str, rows: pl.DataFrame, *, repeats: bool = False
) -> None:
    """Refuse the file at `path` in one line naming the day and the first bad row when `code`'s
    `rows` of trading day `day` fail the day's checks (`quorvel.data.checks`; their time order
    is not checked: the import sorts them).  `rows` holds "row", the row of the file (a CSV's
    header is row 1), and tick columns."""
    faults = day_faults(
        code,
        dt.date.fromisoformat(day),
        rows,
        TAIWAN,
        row_column="row",
        ordered=False,
        repeats=repeats,
    )
    if faults:
        raise DataImportError(f"{path}: {faults[0]}")


@dataclass(frozen=True)
class ImportedDay:
    """One day file written: the code, the trading day, its ticks, the file it came from."""

    code: str
    day: str
    ticks: int
    source: str
    path: str


def cache_frame(ticks: pl.DataFrame) -> pl.DataFrame:
    """One day's ticks as a day file holds them.

    `ticks` has "ts", "close" and "volume" and any of the other tick columns; the missing ones
    get `NEUTRAL_VALUES`.  The rows are put in time order, keeping the source's order among
    equal times, and a tick whose time equals the one before it is moved on by a nanosecond or
    a few: the feed sorts the days it combines by time, and a strictly rising "ts" keeps the
    source's order through that sort.
    """
    missing = [
        pl.lit(value).alias(name)
        for name, value in NEUTRAL_VALUES.items()
        if name not in ticks.columns
    ]
    ordered = ticks.with_columns(missing).sort("ts", maintain_order=True)
    # The smallest strictly rising sequence at or above ts: i + running max of (ts - i).
    position = pl.int_range(pl.len(), dtype=pl.Int64)
    rising = position + (pl.col("ts") - position).cum_max()
    return ordered.select(
        rising.alias("ts"),
        *(pl.col(name) for name in list(TICK_SCHEMA)[1:]),
    ).cast(pl.Schema(TICK_SCHEMA))


class Staging:
    """The days read from the input files, kept on disk until every file has been read.

    `add` refuses a day that another file already gave, naming both files; `write` then puts
    every day into the cache, replacing a day imported or fetched before.
    """

    def __init__(self) -> None:
        self._folder = tempfile.TemporaryDirectory(prefix="quorvel-import-")
        self._days: Dict[Tuple[str, str], Tuple[str, str, int]] = {}

    def __enter__(self) -> "Staging":
        return self

    def __exit__(self, *exc: object) -> None:
        self._folder.cleanup()

    def add(self, source: str, code: str, day: str, frame: pl.DataFrame) -> None:
        earlier = self._days.get((code, day))
        if earlier is not None:
            raise DataImportError(f"{code} {day} is in two files: {earlier[0]} and {source}")
        problem = day_files.value_problem(frame)
        if problem is not None:
            raise DataImportError(f"{source}: {code} {day}: {problem}")
        staged = os.path.join(self._folder.name, f"{len(self._days)}.parquet")
        frame.write_parquet(staged)
        self._days[(code, day)] = (source, staged, frame.height)

    def write(self, data_dir: str) -> List[ImportedDay]:
        """Store every staged day in the cache under `data_dir`, in code and day order."""
        os.makedirs(day_files.cache_directory(data_dir), exist_ok=True)
        written = []
        for (code, day), (source, staged, ticks) in sorted(self._days.items()):
            path = day_files.day_file_path(data_dir, code, day)
            day_files.store_day(pl.read_parquet(staged), path)
            written.append(ImportedDay(code, day, ticks, source, path))
        return written
