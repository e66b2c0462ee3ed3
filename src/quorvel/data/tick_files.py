"""Ticks from other sources: a CSV or parquet file of one code's trades.

The file has a time column, a price and a volume, and may have the bid, the ask, their
volumes and a tick type; `TickColumns` names them (by default the tick cache's own names, so
a file laid out like the cache imports as it is).  The time is an epoch count or a datetime
(a datetime text in a CSV) and is read in the declared time zone, Asia/Taipei unless said
otherwise: an epoch count in that zone counts the zone's wall-clock time, as the broker's do,
so a true Unix epoch (UTC) is imported with time zone "UTC".  A datetime that carries its own
zone keeps it.

Each tick is stored under its trading day.  A stock trades in the day alone; a futures
contract's night session, from 15:00 to 05:00 the next morning, belongs to the next trading
day, as the broker dates it.  A code that starts with a digit is a stock, any other a future.
"""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from typing import Iterator, Literal, Optional, Tuple

import polars as pl

from quorvel import market
from quorvel.data.store import (
    PARQUET_SUFFIXES,
    DataImportError,
    cache_frame,
    check_rows,
    read_user_file,
)

__all__ = ["EXCHANGE_TIME_ZONE", "TickColumns", "market_of", "read_tick_file"]

EXCHANGE_TIME_ZONE = "Asia/Taipei"
EpochUnit = Literal["s", "ms", "us", "ns"]
EPOCH_UNITS: Tuple[EpochUnit, ...] = ("s", "ms", "us", "ns")
# A futures tick at or after 15:00, or before 08:00, is in a night session.
NIGHT_STARTS = dt.time(15, 0)
DAY_STARTS = dt.time(8, 0)


@dataclass(frozen=True)
class TickColumns:
    """The file's column of each tick value; an optional one left None is taken when the file
    has a column of the cache's name, and given its neutral value otherwise."""

    time: str = "ts"
    price: str = "close"
    volume: str = "volume"
    bid_price: Optional[str] = None
    bid_volume: Optional[str] = None
    ask_price: Optional[str] = None
    ask_volume: Optional[str] = None
    tick_type: Optional[str] = None


def market_of(code: str) -> str:
    """ "Stock" for a code that starts with a digit (2330, 00631L), "Future" otherwise (TXFR1)."""
    return "Stock" if code[:1].isdigit() else "Future"


def read_tick_file(
    path: str,
    code: str,
    columns: TickColumns = TickColumns(),
    time_zone: str = EXCHANGE_TIME_ZONE,
    epoch_unit: str = "ns",
) -> Iterator[Tuple[str, str, pl.DataFrame]]:
    """The days of one file as (code, trading day "YYYY-MM-DD", day frame); a file without
    rows, or with a day that fails its checks (`quorvel.data.store.check_rows`), is refused."""
    unit = _epoch_unit(epoch_unit)
    raw = read_user_file(path, try_parse_dates=True)
    if not raw.height:
        raise DataImportError(f"{path}: no rows of ticks")
    chosen = _chosen_columns(raw, columns, path)
    local = _exchange_time(raw.get_column(columns.time), time_zone, unit, path)
    # A CSV's first row is its header.
    first_row = 1 if path.lower().endswith(PARQUET_SUFFIXES) else 2
    ticks = raw.select(
        pl.int_range(first_row, pl.len() + first_row).alias("row"),
        *(pl.col(source).alias(name) for name, source in chosen if name != "ts"),
    ).with_columns(local.dt.epoch("ns").alias("ts"), _trading_days(local, code).alias("day"))
    try:
        ticks = ticks.cast({name: dtype for name, _, dtype in _VALUES if name in ticks.columns})
    except pl.exceptions.PolarsError as error:
        raise DataImportError(
            f"{path}: a value of the wrong type: {str(error).splitlines()[0]}"
        ) from None
    for (day,), frame in ticks.group_by("day", maintain_order=True):
        check_rows(path, code, str(day), frame.drop("day"))
        yield code, str(day), cache_frame(frame.drop("day", "row"))


# The tick values: cache column, `TickColumns` field, type.
_VALUES = (
    ("close", "price", pl.Float64),
    ("volume", "volume", pl.Int64),
    ("bid_price", "bid_price", pl.Float64),
    ("bid_volume", "bid_volume", pl.Int64),
    ("ask_price", "ask_price", pl.Float64),
    ("ask_volume", "ask_volume", pl.Int64),
    ("tick_type", "tick_type", pl.Int64),
)


def _chosen_columns(raw: pl.DataFrame, columns: TickColumns, path: str) -> list:
    """(cache column, file column) of every value the file gives."""
    chosen = []
    for name, source in (
        ("ts", columns.time),
        *((name, getattr(columns, field)) for name, field, _ in _VALUES),
    ):
        if source is None:
            if name not in raw.columns:
                continue
            source = name
        if source not in raw.columns:
            raise DataImportError(
                f"{path}: no column {source!r} (columns: {', '.join(raw.columns)})"
            )
        chosen.append((name, source))
    return chosen


def _epoch_unit(text: str) -> EpochUnit:
    for unit in EPOCH_UNITS:
        if unit == text:
            return unit
    raise DataImportError(f"epoch unit must be one of {', '.join(EPOCH_UNITS)}, not {text!r}")


def _exchange_time(
    values: pl.Series, time_zone: str, epoch_unit: EpochUnit, path: str
) -> pl.Series:
    """The times as naive datetimes of the exchange's wall clock."""
    try:
        if values.dtype.is_integer():
            values = pl.from_epoch(values, time_unit=epoch_unit)
        elif values.dtype == pl.String:
            values = values.str.to_datetime(time_unit="ns")
        if not isinstance(values.dtype, pl.Datetime):
            raise DataImportError(f"{path}: column {values.name!r} holds {values.dtype}, not times")
        if values.dtype.time_zone is None:
            values = values.dt.replace_time_zone(time_zone)
        return (
            values.dt.convert_time_zone(EXCHANGE_TIME_ZONE)
            .dt.replace_time_zone(None)
            .dt.cast_time_unit("ns")
        )
    except pl.exceptions.PolarsError as error:
        raise DataImportError(
            f"{path}: cannot read the times: {str(error).splitlines()[0]}"
        ) from None


def _next_trading_day(day: dt.date) -> Optional[dt.date]:
    """The trading day after `day`; None beyond the calendar (its ticks are refused then)."""
    try:
        return market.next_trading_day(day)
    except ValueError:
        return None


def _trading_days(local: pl.Series, code: str) -> pl.Series:
    """Each tick's trading day as "YYYY-MM-DD"."""
    frame = pl.DataFrame({"date": local.dt.date(), "time": local.dt.time()})
    if market_of(code) == "Stock":
        return frame.get_column("date").dt.strftime("%Y-%m-%d")
    # A night session's tick belongs to the first trading day after the day the session began.
    frame = frame.with_columns(
        pl.when(pl.col("time") >= NIGHT_STARTS)
        .then(pl.col("date"))
        .when(pl.col("time") < DAY_STARTS)
        .then(pl.col("date") - dt.timedelta(days=1))
        .alias("began")
    )
    began = frame.get_column("began").drop_nulls().unique().to_list()
    following = {day: _next_trading_day(day) for day in began}
    days = pl.col("began").replace_strict(following, default=None, return_dtype=pl.Date)
    return frame.select(days.fill_null(pl.col("date")).dt.strftime("%Y-%m-%d")).to_series()
